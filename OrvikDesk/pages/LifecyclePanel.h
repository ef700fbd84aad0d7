// Page 0: the chosen service site in an embedded browser (Qt WebEngine when built with it), or a
// text page that describes the site, offers a retry and opens it in the desktop's browser when the
// engine is missing, the load fails or it takes longer than the time-out. The engine starts only
// after the page's first frame, so the window never waits for it. A site that asks for a client
// certificate gets the one the user picks, and the files it offers go where the user says.
#pragma once

#include <QTimer>
#include <QUrl>

#include "pages/Page.h"

class QStackedLayout;
class QTextBrowser;
class QMenu;

namespace orvikdesk {

class CSiteView;

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

    // The embedded browser is in use, or will be once the page has been painted.
    bool usesEngine() const;
    bool engineStarted() const { return engine_ != nullptr; }
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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void startEngine();
    void showWaiting(const QUrl& url);
    void navigate(const QUrl& url);
    void showFallback(const QUrl& url, const QString& reason);
    void loadFinished(bool ok);
    void updateHistoryItems();
    void showContextMenu(const QPoint& global);
    void fallbackLink(const QUrl& link);

    QStackedLayout* stack_ = nullptr;
    CSiteView* site_ = nullptr;  // the engine's view, once started
    QWidget* engine_ = nullptr;  // its widget
    QTextBrowser* fallback_ = nullptr;
    QMenu* operate_ = nullptr;
    QMenu* context_ = nullptr;
    QTimer timeout_;
    QUrl current_;
    QUrl pending_;  // to load once the engine has started
    bool painted_ = false;
    bool engineFailed_ = false;
    bool canGoBack_ = false, canGoForward_ = false;
    bool loading_ = false;
};

}  // namespace orvikdesk
