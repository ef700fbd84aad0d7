// The update server's FileList.xml, read into its components.
#include <cstdint>

#include <Common.h>
#include <FileList.h>
#include <OrvikXML.h>

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = orvik::fuzz::asFile(data, size, "FileList.xml");
    try {
        OrvikXML xml;
        xml.ReadXML(path);
        FileList list;
        Common().ReadFileListFromXml(path, list);
    } catch (const std::exception&) {
        // A file that cannot be read is reported by an exception, as the fetcher expects.
    }
    return 0;
}
