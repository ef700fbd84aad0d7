// The updater's HTTP client: one server, plain or TLS, files fetched whole or not at all.
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
        long long size = -1;
        std::string sha256;    // hex, any case
        unsigned mode = 0600;  // of the finished file
        bool bounded = false;  // within the short request limit, as the list is
    };
    // Called with the body bytes received so far; false cancels the download.
    using Progress = std::function<bool(long long received)>;

    // `server` is a host name, "host:port", or an "http://" or "https://" address. The port, user
    // and password are not used.
    UpdateFile(std::string server, int port, std::string user, std::string password);
    UpdateFile(const UpdateFile&) = delete;
    UpdateFile& operator=(const UpdateFile&) = delete;
    virtual ~UpdateFile();

    // False (no connection) for an empty or malformed server name.
    bool OpenConnection();
    int CloseConnection();  // 100
    bool IsConnected() const;

    // Downloads `remotePath` to `localPath` through "localPath.part": the file appears, synced to
    // disk, only after a complete, non-empty 200 answer that meets `expect`. The byte count, or 0.
    long long GetFile(std::string remotePath, std::string localPath);
    long long GetFile(const std::string& remotePath, const std::string& localPath, const Expect& expect,
                      const Progress& progress = {});
    // 1 when the server answers 200 for the path, else 0.
    int FileIsExistOnServer(std::string remotePath);
    // The sum of the files' declared sizes; -1 when any is unknown or cannot be asked.
    long long GetAllFileSize(std::vector<std::string>& remotePaths);

    // The list and existence checks give up after this many seconds in all (the deployment's
    // UpdateTimeout, 30 unless set).
    void SetShortRequestLimit(long seconds);
    // When quiet, a server that cannot be reached is not reported with a message box; the caller
    // reads LastTransportFailed() and tells the user itself.
    void SetQuiet(bool quiet);
    bool LastTransportFailed() const;
    // The address a remote path is fetched from: names percent-encoded, the path as joined.
    std::string UrlOf(const std::string& remotePath) const;

private:
    struct Session;
    std::unique_ptr<Session> session;
    std::string server;
};
