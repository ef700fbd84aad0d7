// The module OrvikSiteView: the service site in Qt WebEngine, loaded by page 0 once its first
// frame is out.
#include <QCoreApplication>
#include <QFileInfo>
#include <QOpenGLContext>
#include <QVBoxLayout>
#include <QWebEngineClientCertificateSelection>
#include <QWebEngineDownloadRequest>
#include <QWebEngineHistory>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include "pages/SiteView.h"

namespace orvikdesk {

namespace {

class CSiteEngineView : public QWidget, public CSiteView {
public:
    CSiteEngineView(QWidget* parent, const Hooks& hooks) : QWidget(parent), hooks_(hooks) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        view_ = new QWebEngineView(this);
        view_->setObjectName("1005");
        layout->addWidget(view_);
        setFocusProxy(view_);
        view_->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view_, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
            if (hooks_.contextMenu) hooks_.contextMenu(view_->mapToGlobal(p));
        });
        connect(view_, &QWebEngineView::loadFinished, this, [this](bool ok) {
            if (hooks_.loadFinished) hooks_.loadFinished(ok);
        });
        connect(view_, &QWebEngineView::urlChanged, this, [this] {
            if (hooks_.urlChanged) hooks_.urlChanged();
        });
        QWebEnginePage* page = view_->page();
        connect(page, &QWebEnginePage::newWindowRequested, this, [this](QWebEngineNewWindowRequest& request) {
            if (hooks_.openElsewhere) hooks_.openElsewhere(request.requestedUrl());
        });
        connect(page, &QWebEnginePage::selectClientCertificate, this,
                [this](QWebEngineClientCertificateSelection selection) {
                    const QList<QSslCertificate> offered = selection.certificates();
                    const int chosen =
                        hooks_.chooseCertificate ? hooks_.chooseCertificate(selection.host(), offered) : -1;
                    if (chosen >= 0 && chosen < offered.size())
                        selection.select(offered[chosen]);
                    else
                        selection.selectNone();
                });
        connect(page->profile(), &QWebEngineProfile::downloadRequested, this, &CSiteEngineView::download);
    }

    QWidget* widget() override { return this; }
    void load(const QUrl& url) override { view_->load(url); }
    void stop() override { view_->stop(); }
    void reload() override { view_->reload(); }
    void back() override { view_->back(); }
    void forward() override { view_->forward(); }
    bool canGoBack() const override { return view_->history()->canGoBack(); }
    bool canGoForward() const override { return view_->history()->canGoForward(); }
    QUrl url() const override { return view_->url(); }
    QString title() const override { return view_->title(); }

private:
    void download(QWebEngineDownloadRequest* request) {
        // The profile is shared: another window's downloads are not this page's to answer.
        if (request->page() != view_->page()) return;
        const QString path = hooks_.downloadPath ? hooks_.downloadPath(request->suggestedFileName()) : QString();
        if (path.isEmpty()) {
            request->cancel();
            return;
        }
        const QFileInfo target(path);
        request->setDownloadDirectory(target.absolutePath());
        request->setDownloadFileName(target.fileName());
        connect(request, &QWebEngineDownloadRequest::isFinishedChanged, this, [this, request, path] {
            if (request->isFinished() && hooks_.downloadEnded)
                hooks_.downloadEnded(path, request->state() == QWebEngineDownloadRequest::DownloadCompleted);
        });
        request->accept();
    }

    Hooks hooks_;
    QWebEngineView* view_;
};

}  // namespace

}  // namespace orvikdesk

// Qt's own setter of the context every window shares; QGuiApplication calls it at start when asked.
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);

extern "C" Q_DECL_EXPORT orvikdesk::CSiteView* orvikCreateSiteView(QWidget* parent,
                                                                   const orvikdesk::CSiteView::Hooks* hooks) {
    // The browser draws through a context shared with the windows. Made here, once the window is on
    // the screen, rather than by the application at start, where loading the graphics driver would
    // hold back the first frame.
    if (!QOpenGLContext::globalShareContext()) {
        auto* shared = new QOpenGLContext(QCoreApplication::instance());
        if (!shared->create()) {
            delete shared;
            return nullptr;
        }
        qt_gl_set_global_share_context(shared);
    }
    return new orvikdesk::CSiteEngineView(parent, hooks ? *hooks : orvikdesk::CSiteView::Hooks{});
}
