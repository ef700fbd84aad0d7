// FileList.xml into a FileList: what OrvikFetch downloads and installs.
#include <windows.h>

#include <exception>
#include <string>
#include <unordered_set>

#include "Common.h"
#include "FileList.h"
#include "OrvikXML.h"

namespace {

const std::string kRoot = "Orvikon\\";

void warnUnsupported() { MessageBoxA(nullptr, "FileList.xml的格式不被支持", "提示", MB_OK | MB_ICONWARNING); }

OrvikDepart readDepart(const OrvikXML& xml, const std::string& name) {
    const std::string base = kRoot + name + "\\";
    OrvikDepart depart;
    depart.SetDepartName(name);
    depart.SetDepartNameCH(xml.GetElementValue(base + "Name"));
    depart.SetDepartDesc(xml.GetElementValue(base + "Description"));
    depart.SetDepartVersion(xml.GetElementValue(base + "Version"));

    // Numbered from 1 with no gaps; each file's fields come from its own element only.
    int count = 0;
    for (int n = 1;; ++n) {
        const std::string file = base + "UpdateFileList\\File id=\"" + std::to_string(n) + "\"\\";
        std::string fileName = xml.GetElementValue(file + "FileName");
        if (fileName.empty()) break;
        OrvikFile f;
        f.SetFileName(std::move(fileName));
        f.SetFileVersion(xml.GetElementValue(file + "FileVersion"));
        f.SetFilePath(xml.GetElementValue(file + "FilePath"));
        f.SetFileReg(xml.GetElementValue(file + "FileReg"));
        f.SetFileSize(xml.GetElementValue(file + "FileSize"));
        f.SetFileSHA256(xml.GetElementValue(file + "FileSHA256"));
        depart.SetDepartFile(f);
        ++count;
    }
    depart.SetDepartFileCount(count);
    return depart;
}

}  // namespace

int Common::ReadFileListFromXml(std::string path, FileList& list) {
    try {
        OrvikXML xml;
        int result = xml.ReadXML(path);
        if (result != UPDATE_DONE) {
            // A list that names another code page is not ours and is passed over quietly.
            if (xml.GetFailure() == OrvikXML::Failure::Malformed) warnUnsupported();
            return result;
        }

        FileList read;
        int departs = 0;
        std::unordered_set<std::string> seen;
        for (int i = 0; i < xml.GetElementCount(); ++i) {
            std::string entry = xml.GetElementPath(i);
            if (entry.compare(0, kRoot.size(), kRoot) != 0) continue;
            size_t end = entry.find('\\', kRoot.size());
            // Leaves of the root itself, such as UpdateDate, belong to no depart.
            if (end == std::string::npos) continue;
            std::string name = entry.substr(kRoot.size(), end - kRoot.size());
            // A depart starts at its first leaf. Lookups give the first of equal paths, so a depart
            // met again would only repeat itself, and an interleaved list could multiply its files.
            if (!seen.insert(name).second) continue;
            read.SetDepart(readDepart(xml, name));
            ++departs;
        }
        read.SetDepartCount(departs);
        list = read;
        return UPDATE_DONE;
    } catch (const std::exception&) {
        warnUnsupported();
        return UPDATE_UNSUPPORTED;
    }
}
