// Page 0: the chosen service site in an embedded browser (Qt WebEngine when built with it), or a
// text page that describes the site, offers a retry and opens it in the desktop's browser when the
// engine is missing, the load fails or it takes longer than the time-out. A site that asks for a
// client certificate gets the one the user picks, and the files it offers go where the user says.
#pragma once

#include <QTimer>
#include <QUrl>

#include "pages/Page.h"

class QStackedLayout;
class QTextBrowser;
class QMenu;
class QWebEngineDownloadRequest;

namespace orvikdesk {

class CLifecyclePanel : public CPage {
    Q_OBJECT
public:
    enum { IDD = 130, IDC_BROWSER = 1005 };

    explicit CLifecyclePanel(QWidget* parent);
    ~CLifecyclePanel() override;

    void activate() override;
    QMenu* operateMenu() override { return operate_; }
    QMenu* viewMenu() override { return nullptr; }
    bool onCommand(int id) override;

    // The site of the profile's default entry; the deployment's when the user chose none.
    static QUrl homeUrl();
    void home();

    bool usesEngine() const;       // the embedded browser is in use
    bool showingFallback() const;  // the text page is shown
    QString pageTitle() const;     // the title of the page shown
    QUrl currentUrl() const { return current_; }
    bool canGoBack() const { return canGoBack_; }
    bool canGoForward() const { return canGoForward_; }
    void setLoadTimeout(int ms) { timeout_.setInterval(ms); }
    QMenu* contextMenu() const { return context_; }

    // Engine use can be turned off (ORVIK_NO_WEBENGINE=1), for machines whose graphics it cannot use.
    static bool engineWanted();

    // Where a file the site offers is saved: asked of the user, starting from the site's name for
    // it, an existing file replaced only when they say so. Empty when they cancelled.
    static QString askDownloadPath(QWidget* owner, const QString& suggestedName);

signals:
    // A page of the site finished loading.
    void navigated(const QUrl& url);
    void loadEnded(bool ok);
    // A file of the site was saved at the path (ok), or its download failed.
    void downloadEnded(const QString& path, bool ok);

private:
    void navigate(const QUrl& url);
    void showFallback(const QUrl& url, const QString& reason);
    void loadFinished(bool ok);
    void updateHistoryItems();
    void showContextMenu(const QPoint& global);
    void fallbackLink(const QUrl& link);
    void download(QWebEngineDownloadRequest* request);

    QStackedLayout* stack_ = nullptr;
    QWidget* engine_ = nullptr;  // QWebEngineView when built with it
    QTextBrowser* fallback_ = nullptr;
    QMenu* operate_ = nullptr;
    QMenu* context_ = nullptr;
    QTimer timeout_;
    QUrl current_;
    bool canGoBack_ = false, canGoForward_ = false;
    bool loading_ = false;
};

}  // namespace orvikdesk
