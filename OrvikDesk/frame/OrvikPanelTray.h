// The icon in the notification area, with menu 175. Optional: without a system tray the program
// runs without it and the close box minimises instead of hiding.
#pragma once

#include <QObject>
#include <QString>

class QMenu;
class QSystemTrayIcon;
class QIcon;

namespace orvikdesk {

class COrvikPanelTray : public QObject {
    Q_OBJECT
public:
    explicit COrvikPanelTray(QObject* parent = nullptr);
    ~COrvikPanelTray() override;

    // Adds the icon; false when the desktop has no tray (nothing is shown then).
    bool Create(const QString& tip, const QIcon& icon, QMenu* menu);
    bool SetIcon(const QIcon& icon);
    void RemoveIcon();
    bool enabled() const { return enabled_; }
    QSystemTrayIcon* icon() const { return icon_; }

    static bool available();

signals:
    // A click or a double click on the icon.
    void showRequested();

private:
    QSystemTrayIcon* icon_ = nullptr;
    bool enabled_ = false;
};

}  // namespace orvikdesk
