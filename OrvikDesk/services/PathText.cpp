#include "services/PathText.h"

#include <QString>

namespace orvikdesk::pathtext {

namespace {

// Where the extension's dot is, or npos when the file name has none.
size_t dotOf(const std::string& path) {
    size_t dot = path.rfind('.');
    size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string::npos;
    return dot;
}

}  // namespace

std::string ensureSuffix(const std::string& path, const std::string& suffix) {
    if (QString::fromStdString(path).endsWith(QString::fromStdString(suffix), Qt::CaseInsensitive)) return path;
    return path + suffix;
}

std::string extension(const std::string& path) {
    size_t dot = dotOf(path);
    return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string stripExtension(const std::string& path) {
    size_t dot = dotOf(path);
    return dot == std::string::npos ? path : path.substr(0, dot);
}

std::string trim(const std::string& text) { return QString::fromStdString(text).trimmed().toStdString(); }

}  // namespace orvikdesk::pathtext
