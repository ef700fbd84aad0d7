#include "config/P11Page.h"

#include <QCheckBox>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "dialogs/DialogControls.h"

namespace orvikdesk {

namespace {

std::string& modulePath() {
    static std::string path;
    return path;
}

CP11Registration registration() { return CP11Registration({}, modulePath()); }

}  // namespace

void CP11Page::setModulePath(const std::string& path) { modulePath() = path; }

CP11Page::CP11Page(QWidget* parent) : QWidget(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    auto* layout = new QVBoxLayout(this);
    enable_ = new QCheckBox(QStringLiteral("在浏览器和邮件程序中使用我的证书"), this);
    enable_->setObjectName(QString::number(IDC_ENABLE));
    layout->addWidget(enable_);
    list_ = controls::reportList(this, IDC_TARGETS,
                                 {QStringLiteral("程序"), QStringLiteral("配置文件"), QStringLiteral("状态")},
                                 {170, 110, 150});
    list_->setAccessibleName(QStringLiteral("各程序的注册情况"));
    layout->addWidget(controls::label(this, QStringLiteral("各程序的注册情况(&R):"), list_));
    layout->addWidget(list_, 1);
    keyStorage_ = new QLabel(keyStorageText(orvik::keyStorage()), this);
    keyStorage_->setObjectName(QString::number(IDC_KEY_STORAGE));
    keyStorage_->setWordWrap(true);
    layout->addWidget(keyStorage_);
    setFocusProxy(enable_);
    showTargets(registration().Status());
    enable_->setChecked(CP11Registration::AnyRegistered(targets_));
}

bool CP11Page::enabled() const { return enable_->isChecked(); }

QString CP11Page::stateText(CP11Registration::State state) {
    switch (state) {
    case CP11Registration::Registered: return QStringLiteral("已注册");
    case CP11Registration::NotRegistered: return QStringLiteral("未注册");
    case CP11Registration::InUse: return QStringLiteral("程序正在运行，未更改");
    case CP11Registration::NoDatabase: return QStringLiteral("没有证书数据库");
    case CP11Registration::Failed: break;
    }
    return QStringLiteral("失败");
}

QString CP11Page::keyStorageText(const orvik::KeyStorageState& state) {
    switch (state.storage) {
    case orvik::KeyStorage::Sealed: return QStringLiteral("私钥保存方式：由系统密钥环加密保护。");
    case orvik::KeyStorage::Plain:
        return QStringLiteral("私钥保存方式：未加密的文件，仅本用户可读（当前会话没有系统密钥环）。");
    case orvik::KeyStorage::Locked:
        return QStringLiteral("私钥保存方式：由系统密钥环加密保护。密钥环已锁定，请解锁后再使用私钥。");
    case orvik::KeyStorage::Unavailable: break;
    }
    return QStringLiteral("私钥保存方式：由系统密钥环加密保护。密钥环出错，暂时无法使用私钥。");
}

QString CP11Page::programText(const CP11Registration::Target& target) {
    QString text;
    switch (target.kind) {
    case CP11Registration::P11Kit: return QStringLiteral("其他程序 (p11-kit)");
    case CP11Registration::SharedNssDb: return QStringLiteral("Chromium 等 (~/.pki/nssdb)");
    case CP11Registration::Firefox: text = QStringLiteral("Firefox"); break;
    case CP11Registration::Thunderbird: text = QStringLiteral("Thunderbird"); break;
    }
    if (target.packaging == "snap") text += QStringLiteral(" (Snap)");
    if (target.packaging == "flatpak") text += QStringLiteral(" (Flatpak)");
    return text;
}

void CP11Page::showTargets(const std::vector<CP11Registration::Target>& targets) {
    targets_ = targets;
    list_->clear();
    for (const auto& t : targets_) {
        auto* row = new QTreeWidgetItem(list_);
        row->setText(ProgramColumn, programText(t));
        row->setText(ProfileColumn, QString::fromStdString(t.profile));
        row->setText(StateColumn, stateText(t.state));
    }
}

QString CP11Page::apply() {
    const bool want = enabled();
    const bool lacking = std::any_of(targets_.begin(), targets_.end(),
                                     [](const auto& t) { return t.state == CP11Registration::NotRegistered; });
    if (want ? !lacking : !CP11Registration::AnyRegistered(targets_)) return {};
    CP11Registration r = registration();
    std::vector<CP11Registration::Target> after;
    const int rc = want ? r.Register(after) : r.Unregister(after);
    showTargets(after);
    if (rc == CP11Registration::NoModule)
        return QStringLiteral("找不到证书模块文件 %1，无法在浏览器和邮件程序中使用您的证书。")
            .arg(QString::fromStdString(r.ModulePath()));
    if (rc == CP11Registration::Ok) return {};
    QString lines;
    for (const auto& t : after) {
        if (t.state != CP11Registration::InUse && t.state != CP11Registration::Failed) continue;
        const QString profile = t.profile.empty() ? QString() : QStringLiteral(" ") + QString::fromStdString(t.profile);
        lines += QStringLiteral("\n%1%2：%3").arg(programText(t), profile, stateText(t.state));
    }
    return QStringLiteral("以下程序的设置未能更改:%1\n请关闭正在运行的程序后再试。").arg(lines);
}

}  // namespace orvikdesk
