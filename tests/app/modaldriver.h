// Answers the modal dialogs that a slot shows, the way an operator would, and records
// what each one said. One action per dialog shown, in order; dialogs beyond the script
// are closed with Escape (and still recorded, so a test sees them).
#pragma once

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

class QDialog;

struct SeenDialog
{
    QString className;
    QString windowTitle;
    QString text;            // QMessageBox text, QInputDialog label
    QString informativeText; // QMessageBox only
    QStringList buttons;     // button texts, in the box's order
    int standardButtons = 0; // QMessageBox::StandardButtons
    int icon = 0;            // QMessageBox::Icon
    QStringList items;       // QInputDialog combo items
};

class ModalDriver : public QObject
{
    Q_OBJECT

public:
    struct Action
    {
        enum Kind { Key, Close, ClickButton, ChooseItem };
        Kind kind = Key;
        int key = 0;
        QString button;
        int item = -1;
    };
    static Action key(int key) { return {Action::Key, key, QString(), -1}; }
    // The window's close button: a close event.
    static Action closeButton() { return {Action::Close, 0, QString(), -1}; }
    static Action click(const QString &buttonText) { return {Action::ClickButton, 0, buttonText, -1}; }
    // Picks an item of an input dialog and accepts it.
    static Action choose(int item) { return {Action::ChooseItem, 0, QString(), item}; }

    explicit ModalDriver(QList<Action> script = {});
    ~ModalDriver() override;

    const QList<SeenDialog> &seen() const { return dialogs; }
    // True when a dialog did not close after its action (it was then rejected).
    bool stuck() const { return stuckDialog; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void act(QDialog *dialog, const Action &action, int showing);

    QList<Action> script;
    QList<SeenDialog> dialogs;
    int showings = 0;
    bool stuckDialog = false;
};

Q_DECLARE_METATYPE(ModalDriver::Action)
