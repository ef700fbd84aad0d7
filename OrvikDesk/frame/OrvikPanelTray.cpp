#include "frame/OrvikPanelTray.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace orvikdesk {

COrvikPanelTray::COrvikPanelTray(QObject* parent) : QObject(parent) {}

COrvikPanelTray::~COrvikPanelTray() { RemoveIcon(); }

bool COrvikPanelTray::available() { return QSystemTrayIcon::isSystemTrayAvailable(); }

bool COrvikPanelTray::Create(const QString& tip, const QIcon& icon, QMenu* menu) {
    if (!available()) return false;
    icon_ = new QSystemTrayIcon(icon, this);
    icon_->setToolTip(tip);
    icon_->setContextMenu(menu);
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) emit showRequested();
    });
    icon_->show();
    enabled_ = true;
    return true;
}

bool COrvikPanelTray::SetIcon(const QIcon& icon) {
    if (!enabled_) return false;
    icon_->setIcon(icon);
    return true;
}

void COrvikPanelTray::RemoveIcon() {
    if (!enabled_) return;
    icon_->hide();
    enabled_ = false;
}

}  // namespace orvikdesk
