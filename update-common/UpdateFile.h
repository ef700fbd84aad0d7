// The updater's HTTP client: one server, TLS unless the server is named "http://...", files
// fetched whole or not at all.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UpdateApi.h"

class ORVIKUPDATE_API UpdateFile {
public:
    // What a file must be to count as downloaded; empty fields are not checked.
    struct Expect {
        long long size = -1;     // exact size; the download stops as soon as it passes it
        long long maxSize = -1;  // a cap for files of unknown size (the list, its signature)
        std::string sha256;      // hex, any case
        unsigned mode = 0600;    // of the finished file
        bool bounded = false;    // within the short request limit, as the list is
    };
    // Why the last request failed.
    enum class Failure {
        None,
        Unreachable,  // no connection, a transfer cut short, or out of time
        Certificate,  // the server's TLS certificate does not check out
        NotThere,     // an answer other than 200, or an empty body
        TooLarge,     // more bytes than the size or cap allows
        Mismatch,     // the size or SHA-256 differs from what was expected
        Redirect,     // a redirect to http:// from https://, or to a host not allowed
        Local,        // the file could not be written here
        Cancelled,
    };
    // Called with the body bytes received so far; false cancels the download.
    using Progress = std::function<bool(long long received)>;

    // `server` is a host name or "host:port" (reached over https), or an "http://" or "https://"
    // address. The port, user and password are not used.
    UpdateFile(std::string server, int port, std::string user, std::string password);
    UpdateFile(const UpdateFile&) = delete;
    UpdateFile& operator=(const UpdateFile&) = delete;
    virtual ~UpdateFile();

    // False (no connection) for an empty or malformed server name.
    bool OpenConnection();
    int CloseConnection();  // 100
    bool IsConnected() const;

    // Downloads `remotePath` to `localPath` through a temporary file beside it: the file appears,
    // synced to disk, only after a complete, non-empty 200 answer that meets `expect`. The byte
    // count, or 0.
    long long GetFile(std::string remotePath, std::string localPath);
    long long GetFile(const std::string& remotePath, const std::string& localPath, const Expect& expect,
                      const Progress& progress = {});
    // 1 when the server answers 200 for the path, else 0.
    int FileIsExistOnServer(std::string remotePath);
    // The sum of the files' declared sizes; -1 when any is unknown or cannot be asked.
    long long GetAllFileSize(std::vector<std::string>& remotePaths);

    // The list and existence checks give up after this many seconds each (the deployment's
    // UpdateTimeout, 30 unless set).
    void SetShortRequestLimit(long seconds);
    // From now on every request of this connection, whatever it fetches, ends within `seconds`
    // in all: a server that trickles cannot hold a check up for longer.
    void SetDeadline(long seconds);
    // When quiet, a server that cannot be reached is not reported with a message box; the caller
    // reads LastTransportFailed() and tells the user itself.
    void SetQuiet(bool quiet);
    bool LastTransportFailed() const;
    Failure LastFailure() const;
    // What the user reads of the last failure, a download of the file `name` refused or not come.
    std::string LastFailureText(const std::string& name) const;
    // The address a remote path is fetched from: names percent-encoded, the path as joined.
    std::string UrlOf(const std::string& remotePath) const;

private:
    struct Session;
    std::unique_ptr<Session> session;
    std::string server;
};
