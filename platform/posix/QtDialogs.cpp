// The dialog layer on a display: real modal Qt boxes with the Portuguese
// button texts.
#include "platform/Dialogs.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

#include "platform/Text.h"

namespace vx::platform {

namespace {

QString q(const std::string& ansi) {
    return QString::fromStdString(AnsiToUtf8(ansi));
}

class QtDialogs : public IDialogs {
public:
    TModalResult Show(const TDialogRequest& r) override {
        QMessageBox box;
        box.setWindowTitle(q(r.title));
        box.setText(q(r.text));
        switch (r.icon) {
        case TDialogIcon::None:
            box.setIcon(QMessageBox::NoIcon);
            break;
        case TDialogIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case TDialogIcon::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case TDialogIcon::Error:
            box.setIcon(QMessageBox::Critical);
            break;
        case TDialogIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        }
        std::vector<std::pair<QAbstractButton*, TModalResult>> map;
        for (const auto& b : r.buttons) {
            QPushButton* pb = box.addButton(q(b.caption), QMessageBox::ActionRole);
            map.emplace_back(pb, b.result);
            if (b.result == r.defaultResult)
                box.setDefaultButton(pb);
        }
        if (r.buttons.size() == 1)
            box.setEscapeButton(map.front().first);
        box.exec();
        for (const auto& [button, result] : map)
            if (box.clickedButton() == button)
                return result;
        return r.defaultResult;
    }

    bool InputQuery(const std::string& title, const std::string& prompt, std::string& value) override {
        bool ok = false;
        QString v = QInputDialog::getText(nullptr, q(title), q(prompt), QLineEdit::Normal, q(value), &ok);
        if (ok)
            value = Utf8ToAnsi(v.toStdString());
        return ok;
    }
};

} // namespace

std::unique_ptr<IDialogs> MakeNativeDialogs() {
    return std::make_unique<QtDialogs>();
}

} // namespace vx::platform
