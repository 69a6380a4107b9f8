#include "DialogTheme.h"

#include <QChildEvent>
#include <QDialog>
#include <QEvent>
#include <QObject>
#include <QWidget>

namespace lumetra::app {

namespace {

class ChildDialogTheme : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Polished means fully constructed and not yet shown: the style applies before the
        // dialog takes its size.
        if (event->type() == QEvent::ChildPolished) {
            auto* dialog = qobject_cast<QDialog*>(static_cast<QChildEvent*>(event)->child());
            if (dialog && dialog->styleSheet().isEmpty())
                dialog->setStyleSheet(QString::fromLatin1(childDialogStyleSheet()));
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

const char* childDialogStyleSheet() {
    return "QDialog {background-color:#333;}\n"
           "QLabel {color:#DDD; background:transparent;}\n"
           "QCheckBox, QRadioButton {color:#DDD;}\n"
           "QPushButton {background-color:#444; color:#EEE; border:1px solid #888; "
           "border-radius:4px; min-width:80px; min-height:20px; padding:2px 8px;}\n"
           "QPushButton:hover {background-color:#405080;}\n"
           "QPushButton:pressed {background-color:#505020; border:1px inset #222;}\n"
           "QPushButton:disabled {background-color:#202020; color:#808080;}\n"
           "QLineEdit, QTextEdit, QPlainTextEdit {background-color:#222; color:#EEE; "
           "border:1px solid #888;}\n"
           "QAbstractSpinBox, QComboBox {background-color:#222; color:#EEE;}\n"
           "QProgressBar {color:#EEE; background-color:#222; border:1px solid #888; "
           "text-align:center;}\n"
           "QProgressBar::chunk {background-color:#405080;}\n";
}

void themeChildDialogs(QWidget* window) {
    window->installEventFilter(new ChildDialogTheme(window));
}

} // namespace lumetra::app
