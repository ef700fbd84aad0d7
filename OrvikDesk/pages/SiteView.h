// The embedded browser of page 0, behind a plain interface: the engine lives in a module of its
// own (OrvikSiteView) that the page loads after its first frame, so the program starts without
// the engine's libraries and their set-up. What the view reports and asks goes through hooks.
#pragma once

#include <QList>
#include <QPoint>
#include <QSslCertificate>
#include <QString>
#include <QUrl>
#include <functional>

class QWidget;

namespace orvikdesk {

class CSiteView {
public:
    struct Hooks {
        std::function<void(bool ok)> loadFinished;
        std::function<void()> urlChanged;
        std::function<void(const QPoint& global)> contextMenu;
        // The certificate to show the site (an index of the offered ones), or -1 for none.
        std::function<int(const QUrl& host, const QList<QSslCertificate>& offered)> chooseCertificate;
        // Where a file the site offers goes; empty when the user declined.
        std::function<QString(const QString& suggestedName)> downloadPath;
        std::function<void(const QString& path, bool ok)> downloadEnded;
        // A page the site opens in a new window.
        std::function<void(const QUrl& url)> openElsewhere;
    };

    // The view is its widget's: it goes when the widget is deleted.
    virtual QWidget* widget() = 0;
    virtual void load(const QUrl& url) = 0;
    virtual void stop() = 0;
    virtual void reload() = 0;
    virtual void back() = 0;
    virtual void forward() = 0;
    virtual bool canGoBack() const = 0;
    virtual bool canGoForward() const = 0;
    virtual QUrl url() const = 0;
    virtual QString title() const = 0;

protected:
    ~CSiteView() = default;
};

// The module's one export: a view for the page, a child of parent.
using SiteViewFactory = CSiteView* (*)(QWidget* parent, const CSiteView::Hooks* hooks);
inline constexpr const char* kSiteViewFactory = "orvikCreateSiteView";

}  // namespace orvikdesk
