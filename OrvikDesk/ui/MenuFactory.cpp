#include "ui/MenuFactory.h"

#include <QAction>
#include <QActionEvent>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <vector>

#include "ui/CommandIds.h"

namespace orvikdesk::menus {

namespace {

// A separator is {nullptr, 0}; a popup has items and no id.
struct Item {
    const char* text;
    int id;
    std::vector<Item> items{};
};

struct Resource {
    int id;
    std::vector<Item> popups;
};

// The no-item menus of the certificate pages differ only in their first entry.
std::vector<Item> noItemItems(std::vector<Item> first) {
    first.push_back({nullptr, 0});
    first.push_back({"刷新...", cmd::Refresh});
    first.push_back({nullptr, 0});
    first.push_back(
        {"查看",
         0,
         {{"大图标", cmd::LargeIcons}, {"小图标", cmd::SmallIcons}, {"列表", cmd::List}, {"详细信息", cmd::Details}}});
    first.push_back({"帮助", cmd::PageHelp});
    return first;
}

// The mail page's "查看" items carry ids of their own.
Item mailViewItems() {
    return {"查看",
            0,
            {{"大图标", cmd::MailLargeIcons},
             {"小图标", cmd::MailSmallIcons},
             {"列表", cmd::List},
             {"详细信息", cmd::MailDetails}}};
}

const std::vector<Resource>& resources() {
    static const std::vector<Resource> all = {
        {153,
         {{"文件(&F)", 0, {{"检查更新(&U)...", cmd::CheckForUpdates}, {nullptr, 0}, {"退出(&X)", cmd::AppExit}}},
          {"工具(&T)",
           0,
           {{"修改备份私钥(&M)", cmd::ChangeBackupPassword}, {nullptr, 0}, {"配置管理(&C)", cmd::Configuration}}},
          {"操作(&O)", 0, {}},
          {"查看(&V)", 0, {}},
          {"帮助(&H)", 0, {{"关于(&A)", cmd::AppAbout}, {"帮助(&H)", cmd::HelpFile}}}}},
        {152,
         {{"操作(&O)",
           0,
           {{"后退", cmd::Back},
            {"前进", cmd::Forward},
            {"返回首页", cmd::Home},
            {nullptr, 0},
            {"刷新", cmd::WebRefresh}}}}},
        {154,
         {{"证书",
           0,
           {{"打开", cmd::Open},
            {nullptr, 0},
            {"导出...", cmd::Export},
            {"删除...", cmd::Delete},
            {nullptr, 0},
            {"刷新", cmd::Refresh},
            {nullptr, 0},
            {"CRL检查", cmd::CrlCheck},
            {"属性", cmd::Properties},
            {nullptr, 0},
            {"帮助", cmd::PageHelp}}}}},
        {155, {{"证书库", 0, noItemItems({{"导入", cmd::Import}})}}},
        {156,
         {{"证书",
           0,
           {{"打开", cmd::Open},
            {nullptr, 0},
            {"导出...", cmd::Export},
            {nullptr, 0},
            {"刷新", cmd::Refresh},
            {nullptr, 0},
            {"属性", cmd::Properties},
            {nullptr, 0},
            {"帮助", cmd::PageHelp}}}}},
        {207,
         {{"证书库", 0,
           noItemItems({{"导入", 0, {{"从文件导入...", cmd::Import}, {"从LDAP导入...", cmd::ImportFromLdap}}}})}}},
        {254,
         {{"文件",
           0,
           {{"加密...", cmd::Encrypt}, {"解密...", cmd::Decrypt}, {nullptr, 0}, {"配置", cmd::FileConfigure}}}}},
        {230, {{"文件加密", 0, {{"加密...", cmd::Encrypt}, {nullptr, 0}, {"帮助", cmd::PageHelp}}}}},
        {231, {{"文件解密", 0, {{"解密...", cmd::Decrypt}, {nullptr, 0}, {"帮助", cmd::PageHelp}}}}},
        {233, {{"默认证书", 0, {{"配置", cmd::FileConfigure}, {nullptr, 0}, {"帮助", cmd::PageHelp}}}}},
        {253,
         {{"文件",
           0,
           {{"查看",
             0,
             {{"大图标", cmd::LargeIcons},
              {"小图标", cmd::SmallIcons},
              {"列表", cmd::List},
              {"详细信息", cmd::Details}}},
            {"帮助", cmd::PageHelp}}}}},
        {238, {{"邮件", 0, {{"打开", cmd::MailOpen}, {nullptr, 0}, {"帮助", cmd::PageHelp}}}}},
        {239, {{"邮件", 0, {mailViewItems(), {nullptr, 0}, {"帮助", cmd::PageHelp}}}}},
        {240,
         {{"邮件",
           0,
           {{"配置", cmd::MailConfigure},
            {nullptr, 0},
            {"刷新...", cmd::MailRefresh},
            {"返回", cmd::MailBack},
            {nullptr, 0},
            {"帮助", cmd::PageHelp}}}}},
        {241,
         {{"邮件",
           0,
           {{"批量配置加密证书", cmd::BatchConfigure},
            {nullptr, 0},
            {"从vCard文件导入联系人...", cmd::ImportVCard},
            {"设置Foxmail目录...", cmd::FoxmailFolder},
            {nullptr, 0},
            mailViewItems(),
            {"刷新...", cmd::MailRefresh},
            {"返回", cmd::MailBack},
            {nullptr, 0},
            {"帮助", cmd::PageHelp}}}}},
        {269, {{"配置加密证书", 0, {{"批量配置加密证书", cmd::BatchConfigureMain}, {"打开", cmd::MailOpen}}}}},
        {175,
         {{"托盘",
           0,
           {{"Orvikon主页", cmd::HomePage},
            {nullptr, 0},
            {"帮助", cmd::TrayHelp},
            {"关于证书助手", cmd::AppAbout},
            {nullptr, 0},
            {"检查更新...", cmd::CheckForUpdates},
            {nullptr, 0},
            {"打开", cmd::TrayOpen},
            {"退出", cmd::AppExit}}}}},
    };
    return all;
}

bool hasVisibleItem(const QMenu* menu) {
    for (const QAction* a : menu->actions())
        if (a->isVisible() && !a->isSeparator()) return true;
    return false;
}

// Keeps a menu's entry in its parent (menu bar or menu) hidden while the menu has nothing to
// offer, whatever its owner later adds, removes or hides.
class EmptyMenuHider : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::ActionAdded:
            if (QMenu* sub = static_cast<QActionEvent*>(event)->action()->menu()) hideWhenEmpty(sub);
            [[fallthrough]];
        case QEvent::ActionRemoved:
        case QEvent::ActionChanged:
            if (auto* menu = qobject_cast<QMenu*>(watched)) update(menu);
            break;
        default: break;
        }
        return false;
    }

    static void update(QMenu* menu) {
        const bool show = hasVisibleItem(menu);
        if (menu->menuAction()->isVisible() != show) menu->menuAction()->setVisible(show);
    }
};

EmptyMenuHider* hider() {
    static auto* h = new EmptyMenuHider(qApp);
    return h;
}

void addItems(QMenu* menu, const std::vector<Item>& items) {
    for (const Item& item : items) {
        if (!item.text) {
            menu->addSeparator();
        } else if (item.id == 0) {
            QMenu* sub = menu->addMenu(QString::fromUtf8(item.text));
            addItems(sub, item.items);
        } else {
            QAction* action = menu->addAction(QString::fromUtf8(item.text));
            action->setData(item.id);
            action->setObjectName(QString::number(item.id));
        }
    }
}

const Resource* resourceOf(int id) {
    for (const auto& r : resources())
        if (r.id == id) return &r;
    return nullptr;
}

}  // namespace

QMenu* popup(int id, int index, QWidget* parent) {
    const Resource* r = resourceOf(id);
    if (!r || index < 0 || index >= static_cast<int>(r->popups.size())) return nullptr;
    const Item& p = r->popups[static_cast<size_t>(index)];
    auto* menu = new QMenu(QString::fromUtf8(p.text), parent);
    menu->setObjectName(QString("menu%1").arg(id));
    addItems(menu, p.items);
    hideWhenEmpty(menu);
    return menu;
}

void fillMenuBar(QMenuBar* bar, int id) {
    const Resource* r = resourceOf(id);
    if (!r) return;
    // Popups that others put into the bar later (the pages') are watched as well.
    bar->installEventFilter(hider());
    for (size_t i = 0; i < r->popups.size(); ++i) bar->addMenu(popup(id, static_cast<int>(i), bar));
}

void hideWhenEmpty(QMenu* menu) {
    if (!menu) return;
    for (QAction* a : menu->actions())
        if (a->menu()) hideWhenEmpty(a->menu());
    menu->installEventFilter(hider());  // installing twice keeps one
    EmptyMenuHider::update(menu);
}

int commandOf(const QAction* action) { return action && !action->menu() ? action->data().toInt() : 0; }

QAction* find(QMenu* menu, int id) {
    if (!menu) return nullptr;
    for (QAction* a : menu->actions()) {
        if (commandOf(a) == id) return a;
        if (QAction* inner = a->menu() ? find(a->menu(), id) : nullptr) return inner;
    }
    return nullptr;
}

}  // namespace orvikdesk::menus
