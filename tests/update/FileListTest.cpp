// FileList.xml: what the fetcher learns from it, and that no list, however broken, hangs it.
#include <gtest/gtest.h>
#include <windows.h>

#include <orvik/CodePage.h>

#include <string>
#include <vector>

#include "Common.h"
#include "FileList.h"
#include "OrvikXML.h"
#include "support/MessageBoxRecorder.h"
#include "support/TempHome.h"

using orvik::test::MessageBoxRecorder;
using orvik::test::TempDir;
using orvik::test::writeFile;

namespace {

const std::string kUnsupported = "FileList.xml的格式不被支持";

// Leaves left empty are left out.
std::string fileElement(int id, const std::string& name, const std::string& version = "", const std::string& path = "",
                        const std::string& reg = "", const std::string& size = "", const std::string& sha = "") {
    std::string e = "<File id=\"" + std::to_string(id) + "\">";
    auto leaf = [&e](const char* tag, const std::string& value) {
        if (!value.empty()) e += std::string("<") + tag + ">" + value + "</" + tag + ">";
    };
    leaf("FileName", name);
    leaf("FileVersion", version);
    leaf("FilePath", path);
    leaf("FileReg", reg);
    leaf("FileSize", size);
    leaf("FileSHA256", sha);
    return e + "</File>\n";
}

std::string departElement(const std::string& name, const std::string& nameCh, const std::string& files,
                          const std::string& version = "1.0.0", const std::string& desc = "") {
    std::string e = "<" + name + ">\n<Name>" + nameCh + "</Name>\n";
    if (!desc.empty()) e += "<Description>" + desc + "</Description>\n";
    return e + "<Version>" + version + "</Version>\n<UpdateFileList>\n" + files + "</UpdateFileList>\n</" + name +
           ">\n";
}

std::string declaration(const std::string& encoding = "gb2312") {
    return "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>\n";
}

std::string listDoc(const std::string& departs, const std::string& encoding = "gb2312") {
    return declaration(encoding) + "<Orvikon>\n<UpdateDate>2024-05-01</UpdateDate>\n" + departs + "</Orvikon>\n";
}

// The bytes as they lie on disk; the text must be one code page 936 can carry.
std::string gb(const std::string& utf8) {
    std::string out;
    EXPECT_TRUE(orvik::utf8ToCp936(utf8, out)) << utf8;
    return out;
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

std::string sha(char digit) { return std::string(64, digit); }

class FileListTest : public ::testing::Test {
protected:
    std::string write(const std::string& bytes) {
        std::string path = dir.file("FileList.xml");
        writeFile(path, bytes);
        return path;
    }
    int read(const std::string& path, FileList& list) { return Common().ReadFileListFromXml(path, list); }
    int readBytes(const std::string& bytes, FileList& list) { return read(write(bytes), list); }

    // The one warning of a refused list, as the box after the `before` shown so far.
    void expectWarning(size_t before) {
        ASSERT_EQ(boxes.count(), before + 1);
        EXPECT_EQ(boxes.last().text, kUnsupported);
        EXPECT_EQ(boxes.last().caption, "提示");
        EXPECT_EQ(boxes.last().type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
    }

    TempDir dir;
    MessageBoxRecorder boxes;
};

TEST_F(FileListTest, ReadsEveryFieldOfTwoDeparts) {
    std::string desk = fileElement(1, "OrvikDesk.exe", "2.3.1.0", "", "0", "123456", sha('a')) +
                       fileElement(2, "OrvikCore.dll", "2.3.1.0", "sys", "1", "", "");
    std::string patch = fileElement(1, "OrvikPatch.exe", "1.5.7.0", "", "0", "42", sha('F'));
    FileList list;
    ASSERT_EQ(readBytes(gb(listDoc(departElement("OrvikDesk", "证书助手", desk, "2.3.1", "桌面程序") +
                                   departElement("OrvikPatch", "升级程序", patch, "1.5.7"))),
                        list),
              100);
    EXPECT_EQ(boxes.count(), 0u);

    ASSERT_EQ(list.GetDepartCount(), 2);
    OrvikDepart d = list.GetDepart(0);
    EXPECT_EQ(d.GetDepartName(), "OrvikDesk");
    EXPECT_EQ(d.GetDepartNameCH(), "证书助手");
    EXPECT_EQ(d.GetDepartDesc(), "桌面程序");
    EXPECT_EQ(d.GetDepartVersion(), "2.3.1");
    ASSERT_EQ(d.GetDepartFileCount(), 2);
    OrvikFile f = d.GetDepartFile(0);
    EXPECT_EQ(f.GetFileName(), "OrvikDesk.exe");
    EXPECT_EQ(f.GetFileVersion(), "2.3.1.0");
    EXPECT_EQ(f.GetFilePath(), "");
    EXPECT_EQ(f.GetFileReg(), "0");
    EXPECT_EQ(f.GetFileSize(), "123456");
    EXPECT_EQ(f.GetFileSHA256(), sha('a'));
    f = d.GetDepartFile(1);
    EXPECT_EQ(f.GetFileName(), "OrvikCore.dll");
    EXPECT_EQ(f.GetFilePath(), "sys");
    EXPECT_EQ(f.GetFileReg(), "1");
    EXPECT_EQ(f.GetFileSize(), "");
    EXPECT_EQ(f.GetFileSHA256(), "");

    d = list.GetDepart(1);
    EXPECT_EQ(d.GetDepartName(), "OrvikPatch");
    EXPECT_EQ(d.GetDepartNameCH(), "升级程序");
    EXPECT_EQ(d.GetDepartDesc(), "");
    ASSERT_EQ(d.GetDepartFileCount(), 1);
    EXPECT_EQ(d.GetDepartFile(0).GetFileSize(), "42");
    EXPECT_EQ(d.GetDepartFile(0).GetFileSHA256(), sha('F'));

    EXPECT_EQ(list.FindDepart("OrvikPatch"), 1);
    EXPECT_EQ(list.FindDepart("UpdateDate"), -1);
    EXPECT_EQ(list.GetDepart(0).FindFile("OrvikCore.dll"), 1);
    EXPECT_EQ(list.GetDepart(0).FindFile("OrvikPatch.exe"), -1);
}

TEST_F(FileListTest, OutOfRangeGivesEmptyValues) {
    FileList list;
    ASSERT_EQ(readBytes(listDoc(departElement("OrvikDesk", "a", fileElement(1, "a.exe"))), list), 100);
    for (int index : {-1, 1, 1000}) {
        EXPECT_EQ(list.GetDepart(index).GetDepartName(), "") << index;
        EXPECT_TRUE(list.GetDepart(0).GetDepartFile(index).IsFree()) << index;
    }
    EXPECT_FALSE(list.GetDepart(0).GetDepartFile(0).IsFree());
}

TEST_F(FileListTest, OnlyGb2312DeclarationsAreRead) {
    const std::string departs = departElement("OrvikDesk", "证书助手", fileElement(1, "OrvikDesk.exe"));
    struct Case {
        const char* what;
        std::string bytes;
        int result;
    } cases[] = {
        {"lower case", gb(listDoc(departs)), 100},
        {"capitals", gb(listDoc(departs, "GB2312")), 100},
        {"mixed case", gb(listDoc(departs, "Gb2312")), 100},
        {"utf-8", listDoc(departs, "utf-8"), 108},
        {"gbk", gb(listDoc(departs, "gbk")), 108},
        {"no declaration", "<Orvikon>" + departs + "</Orvikon>", 108},
        {"empty file", "", 108},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileList list;
        EXPECT_EQ(readBytes(c.bytes, list), c.result);
        EXPECT_EQ(list.GetDepartCount(), c.result == 100 ? 1 : 0);
        // Another code page is not a broken list: nothing to tell the user.
        EXPECT_EQ(boxes.count(), 0u);
    }
}

TEST_F(FileListTest, FilesEndAtTheFirstGap) {
    struct Case {
        const char* what;
        std::string files;
        std::vector<std::string> names;
    } cases[] = {
        {"1, 2, 4", fileElement(1, "a") + fileElement(2, "b") + fileElement(4, "d"), {"a", "b"}},
        {"order in the document does not matter", fileElement(2, "b") + fileElement(1, "a"), {"a", "b"}},
        {"no 1", fileElement(2, "b") + fileElement(3, "c"), {}},
        {"2 has no name", fileElement(1, "a") + fileElement(2, "", "1.0", "sys") + fileElement(3, "c"), {"a"}},
        {"2 has a blank name",
         fileElement(1, "a") + "<File id=\"2\"><FileName>  </FileName></File>" + fileElement(3, "c"),
         {"a"}},
        {"single quotes", fileElement(1, "a") + "<File id='2'><FileName>b</FileName></File>", {"a"}},
        {"two blanks", fileElement(1, "a") + "<File  id=\"2\"><FileName>b</FileName></File>", {"a"}},
        {"names are case-sensitive", fileElement(1, "a") + "<File id=\"2\"><filename>b</filename></File>", {"a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileList list;
        ASSERT_EQ(readBytes(listDoc(departElement("OrvikDesk", "x", c.files)), list), 100);
        ASSERT_EQ(list.GetDepartCount(), 1);
        OrvikDepart d = list.GetDepart(0);
        ASSERT_EQ(d.GetDepartFileCount(), static_cast<int>(c.names.size()));
        for (size_t i = 0; i < c.names.size(); ++i) {
            EXPECT_EQ(d.GetDepartFile(static_cast<int>(i)).GetFileName(), c.names[i]);
        }
    }
}

TEST_F(FileListTest, LeavesAreTrimmedOfBlanks) {
    std::string files =
        "<File id=\"1\">\r\n\t<FileName>\r\n\t  OrvikDesk.exe \t\r\n</FileName>\r\n"
        "\t<FileVersion> 2.0 </FileVersion>\r\n\t<FilePath>\t\t</FilePath>\r\n</File>\r\n";
    FileList list;
    ASSERT_EQ(readBytes(gb(listDoc(departElement("OrvikDesk", "  证书 助手\r\n", files))), list), 100);
    OrvikDepart d = list.GetDepart(0);
    EXPECT_EQ(d.GetDepartNameCH(), "证书 助手");
    OrvikFile f = d.GetDepartFile(0);
    EXPECT_EQ(f.GetFileName(), "OrvikDesk.exe");
    EXPECT_EQ(f.GetFileVersion(), "2.0");
    EXPECT_EQ(f.GetFilePath(), "");
}

TEST_F(FileListTest, EachFileKeepsItsOwnFields) {
    // The file between two with all fields must not take the next one's.
    std::string files = fileElement(1, "a.exe", "1.0", "sys", "1", "10", sha('1')) + fileElement(2, "b.dll") +
                        fileElement(3, "c.dll", "3.0", "sys", "1", "30", sha('3'));
    FileList list;
    ASSERT_EQ(readBytes(listDoc(departElement("OrvikDesk", "x", files)), list), 100);
    OrvikDepart d = list.GetDepart(0);
    ASSERT_EQ(d.GetDepartFileCount(), 3);
    OrvikFile b = d.GetDepartFile(1);
    EXPECT_EQ(b.GetFileName(), "b.dll");
    EXPECT_EQ(b.GetFileVersion(), "");
    EXPECT_EQ(b.GetFilePath(), "");
    EXPECT_EQ(b.GetFileReg(), "");
    EXPECT_EQ(b.GetFileSize(), "");
    EXPECT_EQ(b.GetFileSHA256(), "");
    EXPECT_EQ(d.GetDepartFile(2).GetFilePath(), "sys");
    EXPECT_EQ(d.GetDepartFile(2).GetFileSize(), "30");
}

TEST_F(FileListTest, ADepartMetAgainIsNotReadAgain) {
    std::string departs = departElement("OrvikDesk", "证书助手", fileElement(1, "a.exe") + fileElement(2, "b.dll")) +
                          departElement("OrvikPatch", "升级程序", fileElement(1, "p.exe")) +
                          "<OrvikDesk><Extra>1</Extra></OrvikDesk>\n" +
                          departElement("OrvikPatch", "又一个", fileElement(1, "q.exe"));
    FileList list;
    ASSERT_EQ(readBytes(gb(listDoc(departs)), list), 100);
    ASSERT_EQ(list.GetDepartCount(), 2);
    EXPECT_EQ(list.GetDepart(0).GetDepartName(), "OrvikDesk");
    EXPECT_EQ(list.GetDepart(0).GetDepartFileCount(), 2);
    // The first of equal paths is the one read.
    EXPECT_EQ(list.GetDepart(1).GetDepartNameCH(), "升级程序");
    EXPECT_EQ(list.GetDepart(1).GetDepartFile(0).GetFileName(), "p.exe");
}

TEST_F(FileListTest, NoCapOnFilesOrDeparts) {
    std::string files;
    for (int n = 1; n <= 250; ++n) {
        files += fileElement(n, "f" + std::to_string(n) + ".dll", "1.0", n % 2 ? "sys" : "", "0");
    }
    std::string departs = departElement("OrvikDesk", "证书助手", files);
    for (int n = 1; n <= 120; ++n) {
        departs += departElement("Part" + std::to_string(n), "部件", fileElement(1, "p" + std::to_string(n)));
    }
    FileList list;
    ASSERT_EQ(readBytes(gb(listDoc(departs)), list), 100);
    ASSERT_EQ(list.GetDepartCount(), 121);
    OrvikDepart d = list.GetDepart(0);
    ASSERT_EQ(d.GetDepartFileCount(), 250);
    EXPECT_EQ(d.GetDepartFile(100).GetFileName(), "f101.dll");
    EXPECT_EQ(d.GetDepartFile(100).GetFilePath(), "sys");
    EXPECT_EQ(d.GetDepartFile(249).GetFileName(), "f250.dll");
    EXPECT_EQ(d.GetDepartFile(249).GetFilePath(), "");
    EXPECT_EQ(list.GetDepart(120).GetDepartName(), "Part120");
    EXPECT_EQ(list.GetDepart(120).GetDepartFile(0).GetFileName(), "p120");
}

TEST_F(FileListTest, BackslashTrailBytesStayInsideTheirCharacter) {
    // 癨 is B0 5C and 誠 is D5 5C in code page 936: a reader that looks for "\" before converting
    // cuts them apart.
    ASSERT_NE(gb("癨").find('\\'), std::string::npos);
    ASSERT_NE(gb("誠").find('\\'), std::string::npos);
    std::string files = fileElement(1, "癨誠.dll", "1.0", "sys") + fileElement(2, "b.dll");
    FileList list;
    ASSERT_EQ(readBytes(gb(listDoc(departElement("癨部件", "誠癨", files, "1.0", "说明\\癨"))), list), 100);
    ASSERT_EQ(list.GetDepartCount(), 1);
    OrvikDepart d = list.GetDepart(0);
    EXPECT_EQ(d.GetDepartName(), "癨部件");
    EXPECT_EQ(d.GetDepartNameCH(), "誠癨");
    EXPECT_EQ(d.GetDepartDesc(), "说明\\癨");
    ASSERT_EQ(d.GetDepartFileCount(), 2);
    EXPECT_EQ(d.GetDepartFile(0).GetFileName(), "癨誠.dll");
    EXPECT_EQ(d.GetDepartFile(0).GetFilePath(), "sys");
}

TEST_F(FileListTest, BrokenListsAreRefusedWithAWarning) {
    const std::string good = listDoc(departElement("OrvikDesk", "x", fileElement(1, "a.exe")));
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"missing end tag", declaration() + "<Orvikon><OrvikDesk><Name>x</Name></OrvikDesk>"},
        {"unclosed leaf", declaration() + "<Orvikon><UpdateDate>2024</Orvikon>"},
        {"stray end tag", declaration() + "<Orvikon><UpdateDate>1</UpdateDate></Orvikon></a>"},
        {"crossed end tags", declaration() + "<Orvikon><A><B>1</A></B></Orvikon>"},
        {"cut inside a tag", good.substr(0, good.find("<FileName") + 5)},
        {"cut inside a value", good.substr(0, good.find("a.exe") + 2)},
        {"cut inside a comment", declaration() + "<Orvikon><!-- x </Orvikon>"},
        {"empty tag", declaration() + "<Orvikon><>x</></Orvikon>"},
        {"not code page 936", declaration() + "<Orvikon><UpdateDate>\xFF\xFF</UpdateDate></Orvikon>"},
        {"lead byte without trail", declaration() + "<Orvikon><UpdateDate>\x81</UpdateDate></Orvikon>"},
        // Each leaf would hold the long tag in its path: gigabytes from one mebibyte.
        {"paths far past the document", declaration() + "<" + std::string(300000, 'T') + ">" +
                                            repeat("<b>x</b>", 50000) + "</" + std::string(300000, 'T') + ">"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        size_t before = boxes.count();
        FileList list;
        list.SetDepartCount(7);
        EXPECT_EQ(readBytes(c.bytes, list), 108);
        // What the caller had is left as it was.
        EXPECT_EQ(list.GetDepartCount(), 7);
        expectWarning(before);
    }
}

TEST_F(FileListTest, UnreadableFilesAreRefusedWithAWarning) {
    for (const std::string& path : {dir.file("missing.xml"), dir.path()}) {
        SCOPED_TRACE(path);
        size_t before = boxes.count();
        FileList list;
        EXPECT_EQ(read(path, list), 108);
        expectWarning(before);
        EXPECT_THROW(OrvikXML().ReadXML(path), std::exception);
    }
}

TEST_F(FileListTest, OneMebibyteIsTheLimit) {
    const std::string head = listDoc(departElement("OrvikDesk", "x", fileElement(1, "a.exe")));
    for (size_t size : {OrvikXML::kMaxFileSize, OrvikXML::kMaxFileSize + 1}) {
        SCOPED_TRACE(size);
        size_t before = boxes.count();
        std::string bytes = head + "<!--" + std::string(size - head.size() - 7, 'x') + "-->";
        ASSERT_EQ(bytes.size(), size);
        FileList list;
        if (size == OrvikXML::kMaxFileSize) {
            EXPECT_EQ(readBytes(bytes, list), 100);
            EXPECT_EQ(list.GetDepart(0).GetDepartFileCount(), 1);
            EXPECT_EQ(boxes.count(), before);
        } else {
            EXPECT_EQ(readBytes(bytes, list), 108);
            expectWarning(before);
        }
    }
}

TEST_F(FileListTest, AFullSizeListReadsWhole) {
    // Thousands of files in one depart: every lookup is by path, so this stays linear.
    const std::string head = declaration() +
                             "<Orvikon>\n<UpdateDate>2024</UpdateDate>\n<OrvikDesk>\n"
                             "<Name>证书助手</Name>\n<Version>1</Version>\n<UpdateFileList>\n";
    const std::string tail = "</UpdateFileList>\n</OrvikDesk>\n</Orvikon>\n";
    std::string files;
    size_t size = gb(head).size() + tail.size();
    int n = 0;
    while (true) {
        std::string next = gb(fileElement(n + 1, "文件" + std::to_string(n + 1) + ".dll", "1.0.0.1", "sys", "1",
                                          std::to_string(n * 7), sha("0123456789abcdef"[n % 16])));
        if (size + next.size() > OrvikXML::kMaxFileSize) break;
        size += next.size();
        files += next;
        ++n;
    }
    std::string bytes = gb(head) + files + tail;
    ASSERT_LE(bytes.size(), OrvikXML::kMaxFileSize);
    ASSERT_GT(n, 3000);
    FileList list;
    ASSERT_EQ(readBytes(bytes, list), 100);
    OrvikDepart d = list.GetDepart(0);
    ASSERT_EQ(d.GetDepartFileCount(), n);
    EXPECT_EQ(d.GetDepartFile(n - 1).GetFileName(), "文件" + std::to_string(n) + ".dll");
    EXPECT_EQ(d.GetDepartFile(n - 1).GetFileSize(), std::to_string((n - 1) * 7));
}

// The reader on its own: which leaves it gives, under which paths, in which order.
TEST(OrvikXMLTest, LeavesInDocumentOrder) {
    TempDir dir;
    std::string path = dir.file("a.xml");
    writeFile(path, gb(declaration() + "<!-- before the root -->\n<?style x?>\n"
                                       "<Orvikon>\n"
                                       "  <UpdateDate>2024-05-01</UpdateDate>\n"
                                       "  <A kind=\"x\"> own <B>b1</B> text <C/><B>b2</B><!-- <D>no</D> --></A>\n"
                                       "  <E><F><G>deep</G></F><Empty></Empty><Blank> \r\n</Blank></E>\n"
                                       "  <H>中文</H >\n"
                                       "</Orvikon>\n"));
    OrvikXML xml;
    ASSERT_EQ(xml.ReadXML(path), 100);
    EXPECT_EQ(xml.GetFailure(), OrvikXML::Failure::None);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Orvikon\\UpdateDate", "2024-05-01"},
        {"Orvikon\\A kind=\"x\"\\B", "b1"},
        {"Orvikon\\A kind=\"x\"\\B", "b2"},
        // A container's own text, with its children taken out, comes after them.
        {"Orvikon\\A kind=\"x\"", "own  text"},
        {"Orvikon\\E\\F\\G", "deep"},
        {"Orvikon\\H", "中文"},
    };
    ASSERT_EQ(xml.GetElementCount(), static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(xml.GetElementPath(static_cast<int>(i)), expected[i].first) << i;
    }
    EXPECT_EQ(xml.GetElementValue("Orvikon\\A kind=\"x\"\\B"), "b1");
    EXPECT_EQ(xml.GetElementValue("Orvikon\\A kind=\"x\""), "own  text");
    EXPECT_EQ(xml.GetElementValue("Orvikon\\A"), "");
    EXPECT_EQ(xml.GetElementValue("Orvikon\\H"), "中文");
    EXPECT_EQ(xml.GetElementValue("orvikon\\H"), "");
    EXPECT_EQ(xml.GetElementPath(-1), "");
    EXPECT_EQ(xml.GetElementPath(xml.GetElementCount()), "");

    // A second read starts afresh.
    writeFile(path, declaration() + "<R><S>1</S></R>");
    ASSERT_EQ(xml.ReadXML(path), 100);
    EXPECT_EQ(xml.GetElementCount(), 1);
    EXPECT_EQ(xml.GetElementValue("Orvikon\\H"), "");
    writeFile(path, declaration("utf-8") + "<R><S>1</S></R>");
    EXPECT_EQ(xml.ReadXML(path), 108);
    EXPECT_EQ(xml.GetFailure(), OrvikXML::Failure::NotGb2312);
    EXPECT_EQ(xml.GetElementCount(), 0);
}

TEST(OrvikXMLTest, DeepNestingIsRead) {
    // As deep as a mebibyte allows: nothing here may recurse per level.
    const int depth = 100000;
    std::string doc = declaration() + repeat("<a>", depth) + "<b>x</b>" + repeat("</a>", depth);
    TempDir dir;
    std::string path = dir.file("a.xml");
    writeFile(path, doc);
    OrvikXML xml;
    ASSERT_EQ(xml.ReadXML(path), 100);
    ASSERT_EQ(xml.GetElementCount(), 1);
    EXPECT_EQ(xml.GetElementPath(0).size(), depth * 2u + 1);
    EXPECT_TRUE(xml.GetElementPath(0).ends_with("a\\a\\b"));
}

TEST(OrvikXMLTest, SelfClosingElementsAreEmpty) {
    TempDir dir;
    std::string path = dir.file("a.xml");
    writeFile(path, declaration() + "<x/>");
    OrvikXML xml;
    EXPECT_EQ(xml.ReadXML(path), 100);
    EXPECT_EQ(xml.GetElementCount(), 0);

    writeFile(path, declaration() +
                        "<Orvikon><UpdateFileList><File id=\"1\"/><x /></UpdateFileList>"
                        "<UpdateDate>1</UpdateDate></Orvikon>");
    ASSERT_EQ(xml.ReadXML(path), 100);
    ASSERT_EQ(xml.GetElementCount(), 1);
    EXPECT_EQ(xml.GetElementPath(0), "Orvikon\\UpdateDate");
}

}  // namespace
