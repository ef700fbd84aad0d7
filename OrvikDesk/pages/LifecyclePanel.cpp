#include "pages/LifecyclePanel.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QMenu>
#include <QStackedLayout>
#include <QTextBrowser>

#ifdef ORVIK_HAVE_WEBENGINE
#include <QWebEngineClientCertificateSelection>
#include <QWebEngineDownloadRequest>
#include <QWebEngineHistory>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#endif

#include <orvik/Deployment.h>
#include <winuser.h>

#include "dialogs/ClientCertDialog.h"
#include "dialogs/DialogControls.h"
#include "services/ServiceSiteList.h"
#include "services/Shell.h"
#include "ui/CommandIds.h"
#include "ui/FileDialogFacade.h"
#include "ui/MenuFactory.h"

namespace orvikdesk {

namespace {

bool navigable(const QUrl& url) { return url.isValid() && (url.scheme() == "http" || url.scheme() == "https"); }

#ifdef ORVIK_HAVE_WEBENGINE
QWebEngineView* viewOf(QWidget* w) { return static_cast<QWebEngineView*>(w); }
#endif

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
    fallback_->setOpenLinks(false);
    fallback_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(fallback_, &QTextBrowser::anchorClicked, this, &CLifecyclePanel::fallbackLink);
    connect(fallback_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { showContextMenu(fallback_->mapToGlobal(p)); });
    stack_->addWidget(fallback_);
#ifdef ORVIK_HAVE_WEBENGINE
    if (engineWanted()) {
        auto* view = new QWebEngineView(this);
        view->setObjectName(QString::number(IDC_BROWSER));
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, view](const QPoint& p) { showContextMenu(view->mapToGlobal(p)); });
        connect(view, &QWebEngineView::loadFinished, this, &CLifecyclePanel::loadFinished);
        connect(view, &QWebEngineView::urlChanged, this, [this] { updateHistoryItems(); });
        // Links the site opens elsewhere go to the desktop's browser, and only web addresses.
        connect(view->page(), &QWebEnginePage::newWindowRequested, this, [](QWebEngineNewWindowRequest& request) {
            if (navigable(request.requestedUrl())) shell::openAddress(request.requestedUrl().toString().toStdString());
        });
        // The browser offers the personal certificates it finds for the site; the user chooses.
        connect(view->page(), &QWebEnginePage::selectClientCertificate, this,
                [this](QWebEngineClientCertificateSelection selection) {
                    const QList<QSslCertificate> offered = selection.certificates();
                    // The user's time in the picker is not the site's: the load's clock starts again.
                    const bool loading = timeout_.isActive();
                    timeout_.stop();
                    const int chosen = CClientCertDialog::choose(selection.host(), offered, this);
                    if (loading) timeout_.start();
                    if (chosen >= 0)
                        selection.select(offered[chosen]);
                    else
                        selection.selectNone();
                });
        connect(view->page()->profile(), &QWebEngineProfile::downloadRequested, this, &CLifecyclePanel::download);
        engine_ = view;
        stack_->addWidget(view);
    }
#endif
    operate_ = menus::popup(152, 0, this);
    context_ = menus::popup(152, 0, this);
    connect(context_, &QMenu::triggered, this, [this](QAction* a) { onCommand(menus::commandOf(a)); });
    timeout_.setSingleShot(true);
    timeout_.setInterval(20000);
    connect(&timeout_, &QTimer::timeout, this, [this] {
        if (!loading_) return;
        loading_ = false;
#ifdef ORVIK_HAVE_WEBENGINE
        if (engine_) viewOf(engine_)->stop();
#endif
        showFallback(current_, QStringLiteral("服务站点长时间没有响应。"));
        emit loadEnded(false);
    });
    updateHistoryItems();
}

CLifecyclePanel::~CLifecyclePanel() = default;

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

bool CLifecyclePanel::usesEngine() const { return engine_ != nullptr; }

bool CLifecyclePanel::showingFallback() const { return stack_->currentWidget() == fallback_; }

QString CLifecyclePanel::pageTitle() const {
#ifdef ORVIK_HAVE_WEBENGINE
    if (engine_ && !showingFallback()) return viewOf(engine_)->title();
#endif
    return fallback_->documentTitle();
}

void CLifecyclePanel::navigate(const QUrl& url) {
    current_ = url;
    if (!navigable(url)) {
        showFallback(url, QStringLiteral("尚未设置服务站点，或其地址不是网页地址。请在“工具 → 配置管理”中设置。"));
        return;
    }
    if (!engine_) {
        showFallback(url, QString());
        return;
    }
#ifdef ORVIK_HAVE_WEBENGINE
    loading_ = true;
    timeout_.start();
    stack_->setCurrentWidget(engine_);
    viewOf(engine_)->load(url);
#endif
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
#ifdef ORVIK_HAVE_WEBENGINE
    current_ = viewOf(engine_)->url();
#endif
    updateHistoryItems();
    emit loadEnded(true);
    emit navigated(current_);
}

void CLifecyclePanel::showFallback(const QUrl& url, const QString& reason) {
    QString address = url.toString().toHtmlEscaped();
    QString html =
        QStringLiteral(
            "<html><head><title>证书生命周期管理</title></head><body style='font-family:sans-serif'>"
            "<h2 style='color:#1F4D8C'>证书生命周期管理</h2>"
            "<p>服务站点提供数字证书的申请、更新、吊销与查询等服务。</p>") +
        (reason.isEmpty() ? QString() : "<p style='color:#a33'>" + reason.toHtmlEscaped() + "</p>") +
        (navigable(url) ? QStringLiteral("<p>站点地址：%1</p><p><a href='orvik:retry'>重试</a>&nbsp;&nbsp;&nbsp;"
                                         "<a href='orvik:browser'>在浏览器中打开</a></p>")
                              .arg(address)
                        : QString()) +
        "</body></html>";
    fallback_->setHtml(html);
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

void CLifecyclePanel::download(QWebEngineDownloadRequest* request) {
#ifdef ORVIK_HAVE_WEBENGINE
    // The profile is shared: another window's downloads are not this page's to answer.
    if (!engine_ || request->page() != viewOf(engine_)->page()) return;
    const QString path = askDownloadPath(this, request->suggestedFileName());
    if (path.isEmpty()) {
        request->cancel();
        return;
    }
    const QFileInfo target(path);
    request->setDownloadDirectory(target.absolutePath());
    request->setDownloadFileName(target.fileName());
    connect(request, &QWebEngineDownloadRequest::isFinishedChanged, this, [this, request, path] {
        if (request->isFinished())
            emit downloadEnded(path, request->state() == QWebEngineDownloadRequest::DownloadCompleted);
    });
    request->accept();
#else
    (void)request;
#endif
}

bool CLifecyclePanel::onCommand(int id) {
#ifdef ORVIK_HAVE_WEBENGINE
    auto* view = engine_ ? viewOf(engine_) : nullptr;
#endif
    switch (id) {
    case cmd::Home: home(); return true;
    case cmd::WebRefresh:
#ifdef ORVIK_HAVE_WEBENGINE
        if (view && !showingFallback()) {
            view->reload();
            return true;
        }
#endif
        navigate(current_);
        return true;
    case cmd::Back:
#ifdef ORVIK_HAVE_WEBENGINE
        if (view) view->back();
#endif
        return true;
    case cmd::Forward:
#ifdef ORVIK_HAVE_WEBENGINE
        if (view) view->forward();
#endif
        return true;
    default: return false;
    }
}

void CLifecyclePanel::updateHistoryItems() {
    canGoBack_ = canGoForward_ = false;
#ifdef ORVIK_HAVE_WEBENGINE
    if (engine_ && !showingFallback()) {
        canGoBack_ = viewOf(engine_)->history()->canGoBack();
        canGoForward_ = viewOf(engine_)->history()->canGoForward();
    }
#endif
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
