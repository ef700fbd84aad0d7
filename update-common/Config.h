// The update key's values as one record; an empty field means "not set".
#pragma once

#include <string>

#include "UpdateApi.h"

class ORVIKUPDATE_API Config {
public:
    Config() = default;
    Config(const Config& other) = default;
    Config& operator=(const Config& other) = default;
    virtual ~Config();

    std::string GetVersion() const { return version; }
    void SetVersion(std::string value) { version = std::move(value); }
    std::string GetStartUpCheckNew() const { return startUpCheckNew; }
    void SetStartUpCheckNew(std::string value) { startUpCheckNew = std::move(value); }
    std::string GetServer() const { return server; }
    void SetServer(std::string value) { server = std::move(value); }
    std::string GetServerPath() const { return serverPath; }
    void SetServerPath(std::string value) { serverPath = std::move(value); }
    std::string GetProcessID() const { return processId; }
    void SetProcessID(std::string value) { processId = std::move(value); }
    std::string GetCurrentOperation() const { return currentOperation; }
    void SetCurrentOperation(std::string value) { currentOperation = std::move(value); }
    std::string GetConfigPath() const { return configPath; }
    void SetConfigPath(std::string value) { configPath = std::move(value); }

private:
    std::string version;
    std::string startUpCheckNew;
    std::string server;
    std::string serverPath;
    std::string processId;
    std::string currentOperation;
    std::string configPath;
};
