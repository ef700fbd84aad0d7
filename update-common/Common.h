// What OrvikPatch and OrvikFetch share: the update key in the registry, the program and temp
// folders, and the update check.
#pragma once

#include <string>

#include "Config.h"
#include "UpdateApi.h"

class FileList;

// Result codes of the updater.
enum UpdateResult {
    UPDATE_DONE = 100,
    UPDATE_NOTHING = 101,
    UPDATE_NO_SERVER = 102,
    UPDATE_UNSUPPORTED = 108,
    UPDATE_NO_KEY = 109,
};

// The key the assistant keeps its update state under, and where the fetcher finds it.
inline constexpr const char* kUpdateRootKey = "Orvikon\\";
inline constexpr const char* kAssistantUpdateKey = "Orvikon\\Orvik数字证书助手\\UpdateConfig\\";

class ORVIKUPDATE_API Common {
public:
    // Works on the running program's folder, or on `workDir` (a program folder elsewhere).
    Common() = default;
    explicit Common(std::string workDir);
    Common(const Common& other) = default;
    Common& operator=(const Common& other) = default;
    virtual ~Common();

    // 100. Keys are relative to HKCU\Software\; an empty key path is refused (109), so nothing
    // lands directly under Software.
    int ReadConfigFromReg(Config& config, std::string keyPath);
    int SaveConfigtoReg(Config config, std::string keyPath);

    // The program folder, ending with "/".
    std::string GetWorkDir();
    // A fresh, empty GetWorkDir() + "temp" of mode 0700: what an earlier run left there is
    // dropped (a symbolic link is removed, never followed). False when it cannot be made.
    bool InitTempPath();
    // Empties and removes temp and ends the update run ("CurrentOperation" "0").
    void DeleteTemp();

    // The update check without a window: 100 when a newer list was found and the fetcher
    // started, 101 when nothing is newer, 102 when the server or its list cannot be reached or
    // this folder cannot be updated.
    int CheckForUpdate(std::string configPath, std::string serverName, std::string serverPath);
    // The same with the check's small window; built into OrvikPatch.
    int Start(std::string configPath, std::string serverName, std::string serverPath);

    // FileList.xml into `list`: 100, or 108 when it is not a list this system reads.
    int ReadFileListFromXml(std::string path, FileList& list);

private:
    std::string workDir_;
};

// The text a user reads when the program folder belongs to the system (a package) or cannot be
// written: nothing is downloaded then.
inline constexpr const char* kUpdateThroughPackages =
    "证书助手安装在不能由您修改的文件夹中（例如由系统的软件包管理器安装），无法在线升级。请通过软件包管理器更新证书助手"
    "。";
