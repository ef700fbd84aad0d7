// One contact's certificates from both of the authority's directories, looked up off the window's
// thread; then the messages of an empty or failed search, or the choice among what was found.
// Also the worker every directory search of the window runs on.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CDigitalCertificate;
class QWidget;

namespace orvikdesk {

// The program's busy cursor for as long as the object lives.
class BusyCursor {
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// A directory search on a thread of its own that the window never waits for. A directory can
// hold a connection for its whole time-out, so cancel and close give the search up at once:
// it ends by itself later and what it finds is dropped. Results come back on the thread of the
// receiver, and never after it is gone or the search was given up.
class CDirectoryWorker {
public:
    // What the search thread hands a step to the window with; false once the search was given up.
    using Post = std::function<bool(std::function<void()> step)>;
    // Runs on the search thread; returns the last step, run on the window's thread.
    using Work = std::function<std::function<void()>(const Post& post, const std::atomic<bool>& stop)>;

    explicit CDirectoryWorker(QObject* receiver);
    ~CDirectoryWorker();  // gives up a search under way
    CDirectoryWorker(const CDirectoryWorker&) = delete;
    CDirectoryWorker& operator=(const CDirectoryWorker&) = delete;

    // False while a search runs. With busyCursor, the program shows the busy cursor until the
    // search ends or is given up.
    bool start(Work work, bool busyCursor);
    bool busy() const { return link_ != nullptr; }
    // The search under way, if any, is left to end alone; its steps are not run.
    void abandon();

private:
    struct Link;
    QObject* receiver_;
    std::shared_ptr<Link> link_;
    std::optional<BusyCursor> cursor_;
};

class CDirectoryLookup : public QObject {
    Q_OBJECT
public:
    using Found = std::vector<std::unique_ptr<CDigitalCertificate>>;

    explicit CDirectoryLookup(QWidget* owner);
    // A search still under way is given up.
    ~CDirectoryLookup() override;

    // Starts a search for the address; false while one is running.
    bool start(const QString& address);
    bool busy() const { return worker_.busy(); }
    // Gives up a search under way at once: finished() does not come for it.
    void cancel() { worker_.abandon(); }

    // After finished(): "目录查询失败！" or "目录服务中不存在与搜索条件相符的项！", or the import
    // dialog on what was found; before it, why a directory refused a secure connection, if one
    // did. The chosen certificate as the caller's own copy; null otherwise.
    std::unique_ptr<CDigitalCertificate> choose();
    const Found& found() const { return found_; }

signals:
    void finished();

private:
    struct Outcome;
    void complete(std::shared_ptr<Outcome> outcome);

    QWidget* owner_;
    CDirectoryWorker worker_;
    QString address_;
    int result_ = 0;
    std::string tlsFailure_;
    Found found_;
};

}  // namespace orvikdesk
