#include "HandoverDialog.h"

#include <QLabel>
#include <QVBoxLayout>
#include <utility>

#include <orvik/Process.h>
#include <windows.h>

#include "Installer.h"

namespace handover {

HandoverDialog::HandoverDialog(std::string programDir, QWidget* parent)
    : QDialog(parent), programDir_(std::move(programDir)) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QString());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 18, 24, 18);
    layout->addWidget(new QLabel(QStringLiteral("正在启动证书助手，请稍候……"), this));
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // The fetcher and the assistant it ended need a moment to be gone before their files are replaced.
    timer_.setInterval(2000);
    connect(&timer_, &QTimer::timeout, this, &HandoverDialog::onTimer);
    timer_.start();
}

void HandoverDialog::onTimer() {
    // A message box below runs its own event loop, where the timer could fire again.
    if (started_) return;
    started_ = true;
    timer_.stop();
    Installer installer(programDir_, Installer::systemFolder(programDir_), [](const std::string& text) {
        MessageBoxA(nullptr, text.c_str(), "提示", MB_OK | MB_ICONWARNING);
    });
    installer.run();
    orvik::startProgram(programDir_ + "/OrvikDesk");
    done(1);
}

}  // namespace handover
