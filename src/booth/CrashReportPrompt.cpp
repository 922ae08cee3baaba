#include "booth/CrashReportPrompt.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>

CrashReportPrompt& CrashReportPrompt::shared() {
    static CrashReportPrompt prompt;
    return prompt;
}

int CrashReportPrompt::runPermissionAlert(const std::string& title, const std::string& message,
                                          const std::vector<std::string>& buttons) {
    QMessageBox box;
    box.setObjectName(QStringLiteral("CrashReportPrompt"));
    box.setIcon(QMessageBox::Question);
    box.setText(QString::fromStdString(title));
    box.setInformativeText(QString::fromStdString(message));
    std::vector<QPushButton*> added;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        // The last button declines; the first is the default.
        const auto role = i + 1 == buttons.size() && buttons.size() > 1 ? QMessageBox::RejectRole : QMessageBox::AcceptRole;
        added.push_back(box.addButton(QString::fromStdString(buttons[i]), role));
    }
    if (!added.empty()) box.setDefaultButton(added.front());
    box.exec();
    for (std::size_t i = 0; i < added.size(); ++i) {
        if (box.clickedButton() == added[i]) return 1000 + static_cast<int>(i);
    }
    return 1000 + static_cast<int>(added.size()) - 1;  // closed: declined
}
