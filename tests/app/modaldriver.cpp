#include "modaldriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

ModalDriver::ModalDriver(QList<Action> actions) : script(std::move(actions))
{
    qApp->installEventFilter(this);
}

ModalDriver::~ModalDriver()
{
    qApp->removeEventFilter(this);
}

bool ModalDriver::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Show)
        return false;
    auto *dialog = qobject_cast<QDialog *>(watched);
    if (!dialog || !dialog->isWindow())
        return false;

    SeenDialog seen;
    seen.className = QString::fromLatin1(dialog->metaObject()->className());
    seen.windowTitle = dialog->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
        seen.text = box->text();
        seen.informativeText = box->informativeText();
        for (QAbstractButton *button : box->buttons())
            seen.buttons << button->text();
        seen.standardButtons = int(box->standardButtons());
        seen.icon = int(box->icon());
    } else if (auto *input = qobject_cast<QInputDialog *>(dialog)) {
        seen.text = input->labelText();
        seen.items = input->comboBoxItems();
    }
    dialogs << seen;

    const int showing = ++showings;
    const Action action = script.isEmpty() ? key(Qt::Key_Escape) : script.takeFirst();
    // Act once the dialog runs its own event loop, as a person would.
    QTimer::singleShot(0, dialog, [this, dialog, action, showing] { act(dialog, action, showing); });
    return false;
}

void ModalDriver::act(QDialog *dialog, const Action &action, int showing)
{
    switch (action.kind) {
    case Action::Key:
        QTest::keyClick(dialog, Qt::Key(action.key));
        break;
    case Action::Close:
        dialog->close();
        break;
    case Action::ClickButton:
        if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
            for (QAbstractButton *button : box->buttons()) {
                if (button->text() == action.button) {
                    QTest::mouseClick(button, Qt::LeftButton);
                    break;
                }
            }
        }
        break;
    case Action::ChooseItem:
        if (auto *combo = dialog->findChild<QComboBox *>())
            combo->setCurrentIndex(action.item);
        dialog->accept();
        break;
    }
    // A dialog the action did not close would hang the test: note it and get it out of the way.
    QPointer<QDialog> guarded(dialog);
    QTimer::singleShot(2000, this, [this, guarded, showing] {
        if (guarded && guarded->isVisible() && showings == showing) {
            stuckDialog = true;
            guarded->reject();
        }
    });
}
