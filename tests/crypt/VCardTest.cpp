#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include <Encodings.h>
#include <VCard.h>
#include <orvik/CodePage.h>

#include "support/TestPki.h"

using Entry = CVCard::Entry;
using orvik::test::TestPki;

void PrintTo(const Entry& e, std::ostream* os) {
    *os << "{FN=" << e.formattedName << " N=" << e.family << "/" << e.given << " emails=";
    for (const auto& m : e.emails) *os << m << ",";
    *os << " phones=" << e.phones.size() << " adr=" << e.addresses.size() << " org=" << e.organization << "/"
        << e.department << " note=" << e.note << " certs=" << e.certificates.size() << "}";
}

namespace {

const orvik::test::IssuedCert& cert() {
    static const orvik::test::IssuedCert c = TestPki::instance().issue({.cn = "张三", .email = "zs@example.com"});
    return c;
}

std::string crlf(std::string_view text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

std::string qp(std::string_view bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) out += std::string{'=', kHex[b >> 4], kHex[b & 15]};
    return out;
}

// Base64 in lines of 64, each with the indent.
std::string wrapped(std::string_view der, std::string_view indent) {
    std::string b64 = base64Encode(der), out;
    for (size_t at = 0; at < b64.size(); at += 64) out += std::string(indent) + b64.substr(at, 64) + "\r\n";
    return out;
}

std::vector<Entry> parsed(const std::string& bytes) {
    std::vector<Entry> out;
    std::string error;
    EXPECT_TRUE(CVCard::Parse(bytes, out, error)) << error;
    return out;
}

}  // namespace

TEST(VCard, ReadsVersion21AsWindowsContactsExportIt) {
    ASSERT_EQ(orvik::toCp936("张三"), "\xD5\xC5\xC8\xFD");
    const std::string note = qp(orvik::toCp936("第一行")) + "=0D=0A" + qp(orvik::toCp936("第二行"));
    const std::string text =
        crlf(
            "BEGIN:VCARD\n"
            "VERSION:2.1\n"
            "N;CHARSET=GB2312;ENCODING=QUOTED-PRINTABLE:=D5=C5;=C8=FD;;;\n"
            "FN;CHARSET=GB2312;ENCODING=QUOTED-PRINTABLE:=D5=C5=C8=FD\n"
            "ORG;CHARSET=gbk:") +
        orvik::toCp936("示例公司;财务部") + "\r\nNICKNAME;CHARSET=GB2312:" + orvik::toCp936("小一") +
        "\r\nTITLE:" + orvik::toCp936("经理") +
        crlf(
            "\n"
            "TEL;WORK;VOICE:010-12345678\n"
            "TEL;PREF;CELL:13800000000\n"
            "EMAIL;INTERNET:zhang.san@example.com\n"
            "EMAIL;INTERNET;PREF:zs@example.com\n"
            "ADR;HOME;ENCODING=QUOTED-PRINTABLE;CHARSET=GB2312:;;") +
        qp(orvik::toCp936("长安街1号")) + ";" + qp(orvik::toCp936("北京")) + ";;100000;=D6=D0=B9=\r\n=FA\r\n" +
        "NOTE;CHARSET=GB2312;ENCODING=QUOTED-PRINTABLE:" + note.substr(0, 39) + "=\r\n" + note.substr(39) +
        "\r\nKEY;X509;ENCODING=BASE64:\r\n" + wrapped(cert().der, "    ") +
        crlf("\nBDAY:19800415\nX-WAB-GENDER:2\nEND:VCARD\n");
    auto cards = parsed(text);
    ASSERT_EQ(cards.size(), 1u);
    const Entry& e = cards[0];
    EXPECT_EQ(e.formattedName, "张三");
    EXPECT_EQ(e.family, "张");
    EXPECT_EQ(e.given, "三");
    EXPECT_EQ(e.organization, "示例公司");
    EXPECT_EQ(e.department, "财务部");
    EXPECT_EQ(e.nickname, "小一");  // its GBK bytes are valid UTF-8 too: only CHARSET tells
    EXPECT_EQ(e.title, "经理");     // no CHARSET, not UTF-8: code page 936
    EXPECT_EQ(e.phones,
              (std::vector<CVCard::Phone>{{"010-12345678", {"work", "voice"}}, {"13800000000", {"cell", "pref"}}}));
    EXPECT_EQ(e.emails, (std::vector<std::string>{"zs@example.com", "zhang.san@example.com"}));
    ASSERT_EQ(e.addresses.size(), 1u);
    EXPECT_EQ(e.addresses[0], (CVCard::Address{{"home"}, "", "", "长安街1号", "北京", "", "100000", "中国"}));
    EXPECT_EQ(e.note, "第一行\n第二行");
    EXPECT_EQ(e.certificates, std::vector<std::string>{cert().der});
    EXPECT_EQ(e.birthday, (CVCard::Date{1980, 4, 15}));
}

TEST(VCard, ReadsVersion30WithTypeParametersAndEscapes) {
    // 四 is E5 9B 9B: the fold falls inside it.
    const std::string text = "BEGIN:VCARD\r\nVERSION:3.0\r\nN:李;四;;;\r\nfn:李\xE5\r\n \x9B\x9B\r\n" +
                             crlf(
                                 "item1.EMAIL;type=INTERNET:li.si@example.com\n"
                                 "item2.EMAIL;type=INTERNET;type=pref:ls@example.com\n"
                                 "TEL;TYPE=home,voice:+86 10 8888 8888\n"
                                 "tel;type=WORK;type=FAX:+86 10 8888 8889\n"
                                 "ORG:示例\\, 公司\\;总部;研发部\n"
                                 "NOTE:逗号\\, 分号\\; 反斜杠\\\\ 换行\\n第二行\\N第三行 C:\\temp\n"
                                 "TITLE:工\n\t程师\n"
                                 "BDAY:1980-04-15T00:00:00Z\n"
                                 "X-SOCIALPROFILE;type=weibo:x\n"
                                 "KEY;TYPE=X509;ENCODING=b:\n") +
                             wrapped(cert().der, " ") + crlf("END:VCARD\n");
    auto cards = parsed(text);
    ASSERT_EQ(cards.size(), 1u);
    const Entry& e = cards[0];
    EXPECT_EQ(e.formattedName, "李四");
    EXPECT_EQ(e.emails, (std::vector<std::string>{"ls@example.com", "li.si@example.com"}));
    EXPECT_EQ(e.phones, (std::vector<CVCard::Phone>{{"+86 10 8888 8888", {"home", "voice"}},
                                                    {"+86 10 8888 8889", {"work", "fax"}}}));
    EXPECT_EQ(e.organization, "示例, 公司;总部");
    EXPECT_EQ(e.department, "研发部");
    EXPECT_EQ(e.note, "逗号, 分号; 反斜杠\\ 换行\n第二行\n第三行 C:\\temp");
    EXPECT_EQ(e.title, "工程师");
    EXPECT_EQ(e.birthday, (CVCard::Date{1980, 4, 15}));
    EXPECT_EQ(e.certificates, std::vector<std::string>{cert().der});
}

TEST(VCard, ReadsVersion40PreferenceOrderAndUris) {
    const std::string text = crlf(
                                 "BEGIN:VCARD\n"
                                 "VERSION:4.0\n"
                                 "FN:Wang Wu\n"
                                 "EMAIL;TYPE=work:wu.wang@example.com\n"
                                 "EMAIL;PREF=2:ww@example.org\n"
                                 "EMAIL;PREF=1:wangwu@example.com\n"
                                 "EMAIL:\n"
                                 "TEL;VALUE=uri;TYPE=\"voice,cell\";PREF=1:tel:+86-138-0000-0000\n"
                                 "URL:https://example.com/~wangwu\n"
                                 "BDAY:--0415\n"
                                 "KEY;MEDIATYPE=application/pgp-keys:https://example.com/wangwu.asc\n"
                                 "KEY:data:application/pkix-cert;base64,") +
                             base64Encode(cert().der) + crlf("\nEND:VCARD\n");
    auto cards = parsed(text);
    ASSERT_EQ(cards.size(), 1u);
    const Entry& e = cards[0];
    EXPECT_EQ(e.emails, (std::vector<std::string>{"wangwu@example.com", "ww@example.org", "wu.wang@example.com"}));
    EXPECT_EQ(e.phones, (std::vector<CVCard::Phone>{{"+86-138-0000-0000", {"voice", "cell", "pref"}}}));
    EXPECT_EQ(e.urls, std::vector<std::string>{"https://example.com/~wangwu"});
    EXPECT_EQ(e.birthday, (CVCard::Date{0, 4, 15}));
    EXPECT_EQ(e.certificates, std::vector<std::string>{cert().der});
}

TEST(VCard, ReadsEveryCardOfMixedFilesInAnyEncoding) {
    const std::string lf =
        "\xEF\xBB\xBF"
        "BEGIN:VCARD\nVERSION:2.1\nN:Doe;John\nEND:VCARD\n\n"
        "junk between cards\n"
        "begin:vcard\nversion:4.0\nfn:Jane Roe\nEND:VCARD";
    auto cards = parsed(lf);
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].family, "Doe");
    EXPECT_EQ(cards[0].given, "John");
    EXPECT_EQ(cards[1].formattedName, "Jane Roe");

    // UTF-16LE with its BOM, as Windows tools save; the CHARSET of unencoded text is moot then.
    std::u16string wide = orvik::utf8ToUtf16("BEGIN:VCARD\r\nVERSION:2.1\r\nFN;CHARSET=GB2312:张三\r\nEND:VCARD\r\n");
    std::string utf16 = "\xFF\xFE";
    for (char16_t c : wide) utf16 += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    cards = parsed(utf16);
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].formattedName, "张三");

    // Appends to what the caller has.
    std::vector<Entry> out(1);
    std::string error;
    ASSERT_TRUE(CVCard::Parse(lf, out, error)) << error;
    EXPECT_EQ(out.size(), 3u);
}

TEST(VCard, KeepsOnlyCertificatesFromKeys) {
    auto& pki = TestPki::instance();
    const std::string der = cert().der;
    const std::string padded = orvik::test::withNonMinimalSerial(der);
    struct Row {
        const char* what;
        std::string version, key;
        std::vector<std::string> certs;
    } rows[] = {
        {"2.1 indented run", "2.1", "KEY;X509;ENCODING=BASE64:\r\n" + wrapped(der, "  ") + "\r\n", {der}},
        {"2.1 run without its blank line", "2.1", "KEY;X509;BASE64:\r\n" + wrapped(der, ""), {der}},
        {"3.0 on one line", "3.0", "KEY;type=x509;encoding=B:" + base64Encode(der) + "\r\n", {der}},
        {"4.0 media type",
         "4.0",
         "KEY;MEDIATYPE=application/pkix-cert:data:application/pkix-cert;base64," + base64Encode(der) + "\r\n",
         {der}},
        {"serial OpenSSL refuses, kept as it is",
         "3.0",
         "KEY;TYPE=X509;ENCODING=b:" + base64Encode(padded) + "\r\n",
         {padded}},
        {"PGP", "3.0", "KEY;TYPE=PGP;ENCODING=b:" + base64Encode("not a certificate") + "\r\n", {}},
        {"a CRL is a SEQUENCE too", "3.0", "KEY;ENCODING=b:" + base64Encode(pki.crl(pki.ca(), {})) + "\r\n", {}},
        {"URI", "4.0", "KEY:https://example.com/zs.cer\r\n", {}},
        {"data URI not in base64", "4.0", "KEY:data:text/plain,not%20base64\r\n", {}},
    };
    for (const Row& row : rows) {
        auto cards = parsed("BEGIN:VCARD\r\nVERSION:" + row.version + "\r\nFN:x\r\n" + row.key + "END:VCARD\r\n");
        ASSERT_EQ(cards.size(), 1u) << row.what;
        EXPECT_EQ(cards[0].certificates, row.certs) << row.what;
    }
}

TEST(VCard, ReadsBirthdayFormsAndSkipsTheRest) {
    struct Row {
        const char* value;
        std::optional<CVCard::Date> date;
    } rows[] = {
        {"19800415", CVCard::Date{1980, 4, 15}},
        {"1980-04-15", CVCard::Date{1980, 4, 15}},
        {"1980-04-15T00:00:00Z", CVCard::Date{1980, 4, 15}},
        {"--0415", CVCard::Date{0, 4, 15}},
        {"--04-15", CVCard::Date{0, 4, 15}},
        {"19801315", std::nullopt},
        {"19800432", std::nullopt},
        {"1980-0415", std::nullopt},
        {"1980", std::nullopt},
        {"circa 1800", std::nullopt},
    };
    for (const Row& row : rows) {
        auto cards = parsed(crlf("BEGIN:VCARD\nVERSION:4.0\nFN:x\nBDAY:") + row.value + crlf("\nEND:VCARD\n"));
        ASSERT_EQ(cards.size(), 1u) << row.value;
        EXPECT_EQ(cards[0].birthday, row.date) << row.value;
    }
}

TEST(VCard, DamageFailsTheWholeFileNamingItsLine) {
    const std::string good = "BEGIN:VCARD\nVERSION:3.0\nFN:ok\nEND:VCARD\n";  // lines 1-4
    struct Row {
        const char* what;
        std::string text;
        std::string error;
    } rows[] = {
        {"truncated", good + "BEGIN:VCARD\nVERSION:3.0\nFN:cut", "line 5:"},
        {"END alone", good + "END:VCARD\n", "line 5:"},
        {"nested", good + "BEGIN:VCARD\nFN:a\nBEGIN:VCARD\nFN:b\nEND:VCARD\n", "line 7:"},
        {"no colon", good + "BEGIN:VCARD\nVERSION:3.0\nFN a\nEND:VCARD\n", "line 7:"},
        {"bad quoted-printable", good + "BEGIN:VCARD\nVERSION:2.1\nFN;ENCODING=QUOTED-PRINTABLE:=D5=\n=G5\nEND:VCARD\n",
         "line 7:"},
        {"bad quoted-printable, second digit",
         good + "BEGIN:VCARD\nVERSION:2.1\nFN;ENCODING=QUOTED-PRINTABLE:=D5=\n=5G\nEND:VCARD\n", "line 7:"},
        {"bad base64 key", good + "BEGIN:VCARD\nVERSION:3.0\nFN:a\nKEY;TYPE=X509;ENCODING=b:MIIB*AA=\nEND:VCARD\n",
         "line 8:"},
        {"bad data uri",
         good + "BEGIN:VCARD\nVERSION:4.0\nFN:a\nKEY:data:application/pkix-cert;base64,MIIB=AAA\nEND:VCARD\n",
         "line 8:"},
        {"bad 2.1 run", good + "BEGIN:VCARD\nVERSION:2.1\nFN:a\nKEY;X509;ENCODING=BASE64:\n  MIIB\n  A\n\nEND:VCARD\n",
         "line 8:"},
        {"no name", good + "BEGIN:VCARD\nVERSION:3.0\nFN:\nN:;;;;\nTEL:1\nEND:VCARD\n", "line 5:"},
        {"NUL", good + "BEGIN:VCARD\nFN:a" + std::string(1, '\0') + "b\nEND:VCARD\n", "line 6:"},
        {"line over 1 MiB", good + "BEGIN:VCARD\nNOTE:" + std::string(1 << 20, 'x') + "\nEND:VCARD\n", "line 6:"},
        {"file over 16 MiB", good + std::string((16 << 20) + 1, '\n'), "16 MiB"},
        {"empty", "", "no vCard"},
        {"no card", "FN:Doe\nEMAIL:a@example.com\n", "no vCard"},
    };
    for (const Row& row : rows) {
        std::vector<Entry> out(1);
        out[0].formattedName = "before";
        std::string error;
        EXPECT_FALSE(CVCard::Parse(row.text, out, error)) << row.what;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.what << ": " << error;
        ASSERT_EQ(out.size(), 1u) << row.what;
        EXPECT_EQ(out[0].formattedName, "before") << row.what;
    }
}

TEST(VCard, UnfoldsLinesAndJoinsSoftLineBreaks) {
    struct Row {
        const char* what;
        std::string text, note;
    } rows[] = {
        {"3.0 drops one blank", "VERSION:3.0\nNOTE:one\n  two\n\tthree\n", "one twothree"},
        {"2.1 keeps the blank", "VERSION:2.1\nNOTE:one\n two\n", "one two"},
        {"soft break", "VERSION:2.1\nNOTE;ENCODING=QUOTED-PRINTABLE:a=3Db=\nc =\n d\n", "a=bc  d"},
        {"soft break with trailing blanks", "VERSION:2.1\nNOTE;QUOTED-PRINTABLE:a= \t\nb\n", "ab"},
        {"soft break inside a GBK character", "VERSION:2.1\nNOTE;CHARSET=GB2312;ENCODING=QUOTED-PRINTABLE:=D5=\n=C5\n",
         "张"},
        {"CRLF inside becomes LF", "VERSION:2.1\nNOTE;ENCODING=QUOTED-PRINTABLE:a=0D=0Ab=0Dc\n", "a\nb\nc"},
    };
    for (const Row& row : rows) {
        auto cards = parsed(crlf("BEGIN:VCARD\nFN:x\n" + row.text + "END:VCARD\n"));
        ASSERT_EQ(cards.size(), 1u) << row.what;
        EXPECT_EQ(cards[0].note, row.note) << row.what;
    }
}

namespace {

std::vector<Entry> sampleEntries() {
    Entry zhang{.formattedName = "张三",
                .family = "张",
                .given = "三",
                .nickname = "小张",
                .emails = {"zs@example.com", "zhang.san@example.org", "张三@例子.中国"},
                .phones = {{"+86 10 1234 5678", {"work", "voice"}}, {"13800000000", {"cell", "pref"}}},
                .addresses = {{{"home"}, "", "3单元", "长安街1号", "北京", "", "100000", "中国"}},
                .organization = "示例公司; 总部",
                .department = "财务部",
                .title = "经理",
                .note = "逗号, 分号; 反斜杠\\ 换行\n第二行 " + std::string(60, 'x') + " 很长的备注文字，足够折行 1+1=2",
                .birthday = CVCard::Date{1980, 4, 15},
                .urls = {"https://example.com/a,b;c"},
                .certificates = {cert().der}};
    Entry emoji{.formattedName = "Smile 😀", .emails = {"smile@example.com"}, .birthday = CVCard::Date{0, 12, 31}};
    Entry plain{.formattedName = "John Doe", .family = "Doe", .given = "John", .note = "a;b,c\\d"};
    return {zhang, emoji, plain};
}

// Every physical line within `limit` octets, CRLF-terminated, and whole UTF-8.
void expectLines(const std::string& file, size_t limit) {
    size_t start = 0;
    while (start < file.size()) {
        size_t end = file.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "no CRLF after " << file.substr(start, 40);
        std::string line = file.substr(start, end - start);
        EXPECT_LE(line.size(), limit) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_EQ(orvik::utf16ToUtf8(orvik::utf8ToUtf16(line)), line) << "split UTF-8";
        start = end + 2;
    }
}

}  // namespace

TEST(VCard, WritesWhatItReadsBackForEveryVersion) {
    const std::vector<Entry> entries = sampleEntries();
    for (CVCard::Version v : {CVCard::V21, CVCard::V30, CVCard::V40}) {
        std::string file = CVCard::Write(entries, v);
        expectLines(file, v == CVCard::V21 ? 76 : 75);
        EXPECT_EQ(parsed(file), entries) << "version " << v << "\n" << file;
    }
}

TEST(VCard, WritesTheFormsOfEachVersion) {
    const std::vector<Entry> entries = sampleEntries();
    const std::string v21 = CVCard::Write(entries, CVCard::V21);
    for (const char* expected :
         {"VERSION:2.1\r\n", "N;CHARSET=GB2312;ENCODING=QUOTED-PRINTABLE:=D5=C5;=C8=FD;;;\r\n",
          "\r\nEMAIL;PREF;INTERNET:zs@example.com\r\nEMAIL;INTERNET:zhang.san@example.org\r\n",
          "TEL;WORK;VOICE:+86 10 1234 5678\r\n", "TEL;CELL;PREF:13800000000\r\n", "BDAY:19800415\r\n",
          "KEY;X509;ENCODING=BASE64:\r\n  MII", "\r\n\r\nEND:VCARD",
          "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Smile =F0=9F=98=80\r\n", "NOTE:a;b,c\\d\r\n"})
        EXPECT_NE(v21.find(expected), std::string::npos) << expected;

    const std::string v30 = CVCard::Write(entries, CVCard::V30);
    for (const char* expected :
         {"VERSION:3.0\r\n", "FN:张三\r\n", "N:张;三;;;\r\n", "EMAIL;TYPE=INTERNET,PREF:zs@example.com\r\n",
          "EMAIL;TYPE=INTERNET:zhang.san@example.org\r\n", "TEL;TYPE=cell,pref:13800000000\r\n",
          "ORG:示例公司\\; 总部;财务部\r\n", "NOTE:逗号\\, 分号\\; 反斜杠\\\\ 换行\\n第二行", "BDAY:1980-04-15\r\n",
          "BDAY:--1231\r\n", "KEY;TYPE=X509;ENCODING=b:MII", "N:Doe;John;;;\r\n"})
        EXPECT_NE(v30.find(expected), std::string::npos) << expected;

    const std::string v40 = CVCard::Write(entries, CVCard::V40);
    for (const char* expected :
         {"VERSION:4.0\r\n", "EMAIL;PREF=1:zs@example.com\r\n", "EMAIL:zhang.san@example.org\r\n",
          "TEL;TYPE=cell;PREF=1:13800000000\r\n", "BDAY:19800415\r\n", "KEY:data:application/pkix-cert;base64,MII"})
        EXPECT_NE(v40.find(expected), std::string::npos) << expected;
    EXPECT_EQ(v40.find("N:;;;;"), std::string::npos) << "4.0 leaves an empty N out";
}

TEST(VCard, WritesAFormattedNameWhenThereIsNone) {
    std::vector<Entry> entries{{.family = "张", .given = "三"},
                               {.family = "Doe", .given = "John", .middle = "Q"},
                               {.emails = {"nobody@example.com"}}};
    for (CVCard::Version v : {CVCard::V21, CVCard::V30, CVCard::V40}) {
        auto cards = parsed(CVCard::Write(entries, v));
        ASSERT_EQ(cards.size(), 3u);
        EXPECT_EQ(cards[0].formattedName, "张三");
        EXPECT_EQ(cards[1].formattedName, "John Q Doe");
        EXPECT_EQ(cards[2].formattedName, "nobody@example.com");
    }
}

TEST(VCard, ADamagedCardIsReportedAndTheOthersRead) {
    using Problem = CVCard::Problem;
    const std::string good = "BEGIN:VCARD\nVERSION:3.0\nFN:ok\nEND:VCARD\n";  // 4 lines
    struct Row {
        const char* what;
        std::string text;
        std::vector<std::string> names;
        std::vector<Problem> problems;
    } rows[] = {
        {"cut at the end",
         good + "BEGIN:VCARD\nVERSION:3.0\nFN:cut",
         {"ok"},
         {{2, "cut", "line 5: a vCard without END:VCARD"}}},
        {"cut before the next",
         "BEGIN:VCARD\nFN:a\nBEGIN:VCARD\nFN:b\nEND:VCARD\n" + good,
         {"b", "ok"},
         {{1, "a", "line 3: BEGIN:VCARD inside another vCard"}}},
        {"no colon: the rest of the card is passed over",
         good + "BEGIN:VCARD\nFN:bad\nEMAIL a\nTEL:1\nEND:VCARD\n" + good,
         {"ok", "ok"},
         {{2, "bad", "line 7: a content line without \":\""}}},
        {"damaged value, name from EMAIL",
         "BEGIN:VCARD\nVERSION:2.1\nEMAIL:x@example.com\nNOTE;ENCODING=QUOTED-PRINTABLE:=G5\nEND:VCARD\n" + good,
         {"ok"},
         {{1, "x@example.com", "line 4: invalid quoted-printable in NOTE"}}},
        {"no name",
         good + "BEGIN:VCARD\nTEL:1\nEND:VCARD\n" + good,
         {"ok", "ok"},
         {{2, "", "line 5: a vCard without FN, N or EMAIL"}}},
        {"a name of control characters only",
         good + "BEGIN:VCARD\nVERSION:3.0\nFN:\\n\x01\t\nEND:VCARD\n",
         {"ok"},
         {{2, "", "line 5: a vCard without FN, N or EMAIL"}}},
        {"stray END", good + "END:VCARD\n" + good, {"ok", "ok"}, {{0, "", "line 5: END:VCARD without BEGIN:VCARD"}}},
        {"every card damaged",
         "BEGIN:VCARD\nFN:a\nBEGIN:VCARD\nFN:b\n",
         {},
         {{1, "a", "line 3: BEGIN:VCARD inside another vCard"}, {2, "b", "line 3: a vCard without END:VCARD"}}},
    };
    for (const Row& row : rows) {
        std::vector<Entry> out;
        std::vector<Problem> problems;
        std::string error;
        ASSERT_TRUE(CVCard::Parse(row.text, out, problems, error)) << row.what << ": " << error;
        std::vector<std::string> names;
        for (const Entry& e : out) names.push_back(e.formattedName);
        EXPECT_EQ(names, row.names) << row.what;
        EXPECT_EQ(problems.size(), row.problems.size()) << row.what;
        for (size_t i = 0; i < std::min(problems.size(), row.problems.size()); ++i) {
            EXPECT_EQ(problems[i].card, row.problems[i].card) << row.what;
            EXPECT_EQ(problems[i].name, row.problems[i].name) << row.what;
            EXPECT_EQ(problems[i].error, row.problems[i].error) << row.what;
        }
    }
}

TEST(VCard, LineEndsOfEverySystemAndStrayCarriageReturns) {
    const char* card = "BEGIN:VCARD\nVERSION:3.0\nFN:Zhang San\nN:Zhang;San;;;\nNOTE:a\nEND:VCARD\n";
    auto with = [&](std::string_view end) {
        std::string out;
        for (const char* c = card; *c; ++c) *c == '\n' ? out.append(end) : out.append(1, *c);
        return out;
    };
    for (std::string_view end : {"\n", "\r\n", "\r", "\r\r\n"}) {
        std::vector<Entry> cards = parsed(with(end) + with(end));
        ASSERT_EQ(cards.size(), 2u) << end.size();
        for (const Entry& e : cards) {
            EXPECT_EQ(e.formattedName, "Zhang San");
            EXPECT_EQ(e.given, "San");
            EXPECT_EQ(e.note, "a");
        }
    }
    // Mixed in one file, and a CR inside a line of a file that has LFs.
    std::vector<Entry> cards =
        parsed(with("\r\n") + with("\n") +
               "BEGIN:VCARD\r\nVERSION:3.0\nFN:张\r三\r\nN:张\x7F;三\xC2\x85;;;\nORG:示例\\n公司\r\r\n"
               "EMAIL:zs@exa\tmple.com\nNOTE:一\r二\nEND:VCARD");
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(cards[2].formattedName, "张 三");
    EXPECT_EQ(cards[2].family, "张");
    EXPECT_EQ(cards[2].given, "三");
    EXPECT_EQ(cards[2].organization, "示例 公司");
    EXPECT_EQ(cards[2].emails, std::vector<std::string>{"zs@example.com"});
    // A note keeps its line break.
    EXPECT_EQ(cards[2].note, "一\n二");
}
