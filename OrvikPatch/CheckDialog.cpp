#include "CheckDialog.h"

#include <QLabel>
#include <QMetaObject>
#include <QVBoxLayout>
#include <utility>

CheckDialog::CheckDialog(std::function<int()> check, QWidget* parent) : QDialog(parent), check_(std::move(check)) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QString());
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 18, 24, 18);
    layout->addWidget(new QLabel(QStringLiteral("正在检查更新，请稍候……"), this));
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

CheckDialog::~CheckDialog() {
    if (worker_.joinable()) worker_.join();
}

void CheckDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (started_) return;
    started_ = true;
    worker_ = std::thread([this] {
        int result = check_();
        QMetaObject::invokeMethod(
            this, [this, result] { done(result); }, Qt::QueuedConnection);
    });
}
