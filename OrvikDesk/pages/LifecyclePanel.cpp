#include "pages/LifecyclePanel.h"

#include <cstdio>

#include <QAction>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QMenu>
#include <QStackedLayout>
#include <QTextBrowser>

#include <QLibrary>

#include <dlfcn.h>

#include <orvik/Deployment.h>
#include <winuser.h>

#include "dialogs/ClientCertDialog.h"
#include "dialogs/DialogControls.h"
#include "pages/SiteView.h"
#include "services/ServiceSiteList.h"
#include "services/Shell.h"
#include "ui/Artwork.h"
#include "ui/CommandIds.h"
#include "ui/FileDialogFacade.h"
#include "ui/MenuFactory.h"

namespace orvikdesk {

namespace {

bool navigable(const QUrl& url) { return url.isValid() && (url.scheme() == "http" || url.scheme() == "https"); }

// The engine's module lies beside the program's libraries, in the build tree and installed.
QString siteViewModule() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&orvik::deployment::text), &info) && info.dli_fname)
        return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath() + "/libOrvikSiteView.so";
    return QString();
}

}  // namespace

bool CLifecyclePanel::engineWanted() {
#ifdef ORVIK_HAVE_WEBENGINE
    return qgetenv("ORVIK_NO_WEBENGINE") != "1";
#else
    return false;
#endif
}

CLifecyclePanel::CLifecyclePanel(QWidget* parent) : CPage(IDD, parent) {
    stack_ = new QStackedLayout(this);
    stack_->setContentsMargins(0, 0, 0, 0);
    fallback_ = new QTextBrowser(this);
    fallback_->setObjectName("fallback");
    fallback_->setAccessibleName(QStringLiteral("证书生命周期管理"));
    fallback_->setOpenLinks(false);
    fallback_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(fallback_, &QTextBrowser::anchorClicked, this, &CLifecyclePanel::fallbackLink);
    connect(fallback_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { showContextMenu(fallback_->mapToGlobal(p)); });
    stack_->addWidget(fallback_);
    // The page is painted before the engine starts: the window does not wait for the browser.
    fallback_->viewport()->installEventFilter(this);
    operate_ = menus::popup(152, 0, this);
    context_ = menus::popup(152, 0, this);
    connect(context_, &QMenu::triggered, this, [this](QAction* a) { onCommand(menus::commandOf(a)); });
    timeout_.setSingleShot(true);
    timeout_.setInterval(20000);
    connect(&timeout_, &QTimer::timeout, this, [this] {
        if (!loading_) return;
        loading_ = false;
        if (site_) site_->stop();
        showFallback(current_, QStringLiteral("服务站点长时间没有响应。"));
        emit loadEnded(false);
    });
    updateHistoryItems();
}

CLifecyclePanel::~CLifecyclePanel() = default;

void CLifecyclePanel::startEngine() {
    if (site_ || engineFailed_ || !engineWanted()) return;
    QLibrary module(siteViewModule());
    // Loaded after the application started, the engine warns that it wants a shared context made
    // at start; the module's factory makes it, after the first frame, which is the point.
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (!text.startsWith(QLatin1String("Qt WebEngine seems to be initialized from a plugin")) && previous)
            previous(type, context, text);
    });
    auto create = reinterpret_cast<SiteViewFactory>(module.resolve(kSiteViewFactory));
    qInstallMessageHandler(previous);
    // The text page and the desktop's browser serve instead; said once, on the page.
    auto failed = [this](const QString& why) {
        std::fprintf(stderr, "OrvikDesk: %s\n", why.toLocal8Bit().constData());
        engineFailed_ = true;
        const QUrl pending = pending_;
        pending_ = QUrl();
        showFallback(pending, QStringLiteral("无法启动网页浏览组件。"));
    };
    if (!create) return failed(module.errorString());
    CSiteView::Hooks hooks;
    hooks.loadFinished = [this](bool ok) { loadFinished(ok); };
    hooks.urlChanged = [this] { updateHistoryItems(); };
    hooks.contextMenu = [this](const QPoint& global) { showContextMenu(global); };
    // The browser offers the personal certificates it finds for the site; the user chooses.
    hooks.chooseCertificate = [this](const QUrl& host, const QList<QSslCertificate>& offered) {
        // The user's time in the picker is not the site's: the load's clock starts again.
        const bool loading = timeout_.isActive();
        timeout_.stop();
        const int chosen = CClientCertDialog::choose(host, offered, this);
        if (loading) timeout_.start();
        return chosen;
    };
    hooks.downloadPath = [this](const QString& suggested) { return askDownloadPath(this, suggested); };
    hooks.downloadEnded = [this](const QString& path, bool ok) { emit downloadEnded(path, ok); };
    // Links the site opens elsewhere go to the desktop's browser, and only web addresses.
    hooks.openElsewhere = [](const QUrl& url) {
        if (navigable(url)) shell::openAddress(url.toString().toStdString());
    };
    site_ = create(this, &hooks);
    if (!site_) return failed(QStringLiteral("no OpenGL context for the browser"));
    engine_ = site_->widget();
    engine_->setObjectName("site");
    stack_->addWidget(engine_);
    const QUrl pending = pending_;
    pending_ = QUrl();
    if (pending.isValid()) navigate(pending);
}

bool CLifecyclePanel::eventFilter(QObject* watched, QEvent* event) {
    if (!painted_ && event->type() == QEvent::Paint && watched == fallback_->viewport()) {
        painted_ = true;
        // After this frame is on the screen, not within it.
        if (pending_.isValid()) QTimer::singleShot(0, this, &CLifecyclePanel::startEngine);
    }
    return CPage::eventFilter(watched, event);
}

QUrl CLifecyclePanel::homeUrl() {
    CServiceSiteList sites;
    std::string url = sites.defaultUrl();
    if (url.empty()) url = orvik::deployment::text(orvik::deployment::kServiceSite);
    return QUrl(QString::fromStdString(url));
}

void CLifecyclePanel::activate() {
    // Only a switch to this page goes home; hiding the window leaves the page as it is.
    home();
    updateHistoryItems();
}

void CLifecyclePanel::home() { navigate(homeUrl()); }

bool CLifecyclePanel::usesEngine() const { return site_ != nullptr || (engineWanted() && !engineFailed_); }

bool CLifecyclePanel::showingFallback() const { return stack_->currentWidget() == fallback_; }

QString CLifecyclePanel::pageTitle() const {
    if (site_ && !showingFallback()) return site_->title();
    return fallback_->documentTitle();
}

void CLifecyclePanel::navigate(const QUrl& url) {
    current_ = url;
    if (!navigable(url)) {
        pending_ = QUrl();
        showFallback(url, QStringLiteral("尚未设置服务站点，或其地址不是网页地址。请在“工具 → 配置管理”中设置。"));
        return;
    }
    if (!site_ && usesEngine()) {
        // The engine starts once the page has been painted; until then the page says what comes.
        const bool first = !pending_.isValid();
        pending_ = url;
        showWaiting(url);
        if (painted_ && first) QTimer::singleShot(0, this, &CLifecyclePanel::startEngine);
        return;
    }
    if (!site_) {
        showFallback(url, QString());
        return;
    }
    loading_ = true;
    timeout_.start();
    stack_->setCurrentWidget(engine_);
    site_->load(url);
}

void CLifecyclePanel::loadFinished(bool ok) {
    if (!loading_) return;  // after the time-out, or a load of the page's own
    loading_ = false;
    timeout_.stop();
    if (!ok) {
        showFallback(current_, QStringLiteral("无法打开服务站点。请检查网络连接后重试。"));
        emit loadEnded(false);
        return;
    }
    current_ = site_->url();
    updateHistoryItems();
    emit loadEnded(true);
    emit navigated(current_);
}

void CLifecyclePanel::showFallback(const QUrl& url, const QString& reason) {
    QString address = url.toString().toHtmlEscaped();
    QString html =
        QStringLiteral(
            "<html><head><title>证书生命周期管理</title></head><body style='font-family:sans-serif'>"
            "<h2>证书生命周期管理</h2>"
            "<p>服务站点提供数字证书的申请、更新、吊销与查询等服务。</p>") +
        (reason.isEmpty() ? QString()
                          : "<p style='color:" + artwork::alertColour(fallback_->palette()).name() + "'>" +
                                reason.toHtmlEscaped() + "</p>") +
        (navigable(url) ? QStringLiteral("<p>站点地址：%1</p><p><a href='orvik:retry'>重试</a>&nbsp;&nbsp;&nbsp;"
                                         "<a href='orvik:browser'>在浏览器中打开</a></p>")
                              .arg(address)
                        : QString()) +
        "</body></html>";
    fallback_->setHtml(html);
    stack_->setCurrentWidget(fallback_);
    updateHistoryItems();
}

void CLifecyclePanel::showWaiting(const QUrl& url) {
    fallback_->setHtml(QStringLiteral("<html><head><title>证书生命周期管理</title></head>"
                                      "<body style='font-family:sans-serif'><h2>证书生命周期管理</h2>"
                                      "<p>正在打开服务站点……</p><p>%1</p></body></html>")
                           .arg(url.toString().toHtmlEscaped()));
    stack_->setCurrentWidget(fallback_);
    updateHistoryItems();
}

void CLifecyclePanel::fallbackLink(const QUrl& link) {
    if (link.toString() == "orvik:retry")
        navigate(current_);
    else if (link.toString() == "orvik:browser" && navigable(current_))
        shell::openAddress(current_.toString().toStdString());
}

QString CLifecyclePanel::askDownloadPath(QWidget* owner, const QString& suggestedName) {
    const QString suffix = QFileInfo(suggestedName).suffix();
    const QString filter = suffix.isEmpty()
                               ? QStringLiteral("所有文件(*.*)|*.*||")
                               : QStringLiteral("%1 文件(*.%2)|*.%2|所有文件(*.*)|*.*||").arg(suffix.toUpper(), suffix);
    for (;;) {
        const QString path = FileDialogFacade::save(owner, suffix, filter);
        if (path.isEmpty() || !QFileInfo::exists(path)) return path;
        if (controls::message(owner, "您所指定的文件已经存在，要覆盖它吗？", MB_YESNO | MB_ICONEXCLAMATION) == IDYES)
            return path;
    }
}

bool CLifecyclePanel::onCommand(int id) {
    switch (id) {
    case cmd::Home: home(); return true;
    case cmd::WebRefresh:
        if (site_ && !showingFallback()) {
            site_->reload();
            return true;
        }
        navigate(current_);
        return true;
    case cmd::Back:
        if (site_) site_->back();
        return true;
    case cmd::Forward:
        if (site_) site_->forward();
        return true;
    default: return false;
    }
}

void CLifecyclePanel::updateHistoryItems() {
    canGoBack_ = canGoForward_ = false;
    if (site_ && !showingFallback()) {
        canGoBack_ = site_->canGoBack();
        canGoForward_ = site_->canGoForward();
    }
    for (QMenu* m : {operate_, context_}) {
        if (!m) continue;
        if (QAction* a = menus::find(m, cmd::Back)) a->setEnabled(canGoBack_);
        if (QAction* a = menus::find(m, cmd::Forward)) a->setEnabled(canGoForward_);
    }
}

void CLifecyclePanel::showContextMenu(const QPoint& global) {
    updateHistoryItems();
    context_->popup(global);
}

}  // namespace orvikdesk
