// OpenSSL before anything that brings in the SDK headers: both define X509_* names.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "dialogs/CertificateViewer.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include <DigitalCertificate.h>
#include <orvik/CertificateViewer.h>
#include <orvik/Owned.h>
#include <orvik/RegisteredCertificates.h>
#include <winbase.h>
#include <windows.h>

namespace orvikdesk {

namespace {

using X509Ptr = orvik::Owned<X509, X509_free>;
using BioPtr = orvik::Owned<BIO, BIO_free_all>;
using ObjectPtr = orvik::Owned<ASN1_OBJECT, ASN1_OBJECT_free>;
using OctetsPtr = orvik::Owned<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using ExtensionPtr = orvik::Owned<X509_EXTENSION, X509_EXTENSION_free>;
using BitsPtr = orvik::Owned<ASN1_BIT_STRING, ASN1_BIT_STRING_free>;
using UsagesPtr = orvik::Owned<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>;

struct FreeContext {
    void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
using ContextPtr = std::unique_ptr<const CERT_CONTEXT, FreeContext>;

struct CloseStore {
    void operator()(HCERTSTORE s) const { CertCloseStore(s, 0); }
};
using StorePtr = std::unique_ptr<void, CloseStore>;

struct State {
    bool headless = false;
    std::vector<QString> shown;
};

State& state() {
    static State s;
    return s;
}

const char kExtendedKeyUsage[] = "2.5.29.37";
const char kAnyExtendedKeyUsage[] = "2.5.29.37.0";
const int kMaxPathSteps = 10;

// End-entity key usages; a key limited to signing certificates and CRLs says nothing about what
// the certificates it issues may do.
const unsigned char kEndEntityUsages = CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_NON_REPUDIATION_KEY_USAGE |
                                       CERT_KEY_ENCIPHERMENT_KEY_USAGE | CERT_DATA_ENCIPHERMENT_KEY_USAGE |
                                       CERT_KEY_AGREEMENT_KEY_USAGE;

struct Purpose {
    const char* oid;
    const char* text;
    unsigned char keyUsages;  // the key usages that allow it when no extended key usage is given; 0: none
};

// In the order the window lists them.
const Purpose kPurposes[] = {
    {"1.3.6.1.5.5.7.3.1", "确保远程计算机的身份",
     CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE | CERT_KEY_AGREEMENT_KEY_USAGE},
    {"1.3.6.1.5.5.7.3.2", "向远程计算机证明您的身份", CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_AGREEMENT_KEY_USAGE},
    {"1.3.6.1.5.5.7.3.3", "确保软件来自软件发布者", 0},
    {"1.3.6.1.5.5.7.3.4", "保证电子邮件的安全",
     CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_NON_REPUDIATION_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE |
         CERT_KEY_AGREEMENT_KEY_USAGE},
    {"1.3.6.1.5.5.7.3.8", "允许用当前时间签名数据", 0},
    {"1.3.6.1.5.5.7.3.9", "签名 OCSP 响应", 0},
    {"1.3.6.1.4.1.311.10.3.4", "允许对磁盘上的数据进行加密", 0},
    {"1.3.6.1.4.1.311.20.2.2", "智能卡登录", 0},
};

struct ExtensionName {
    int nid;
    const char* text;
};

const ExtensionName kExtensionNames[] = {
    {NID_key_usage, "密钥用法"},
    {NID_ext_key_usage, "增强型密钥用法"},
    {NID_subject_alt_name, "使用者可选名称"},
    {NID_issuer_alt_name, "颁发者可选名称"},
    {NID_basic_constraints, "基本约束"},
    {NID_crl_distribution_points, "CRL 分发点"},
    {NID_authority_key_identifier, "授权密钥标识符"},
    {NID_subject_key_identifier, "使用者密钥标识符"},
    {NID_certificate_policies, "证书策略"},
    {NID_info_access, "授权信息访问"},
};

// Signature algorithms the library leaves as OIDs, named as the library names the others.
const std::pair<const char*, const char*> kSignatureNames[] = {
    {"1.2.840.113549.1.1.10", "RSASSA-PSS"}, {"1.2.840.113549.1.1.11", "sha256RSA"},
    {"1.2.840.113549.1.1.12", "sha384RSA"},  {"1.2.840.113549.1.1.13", "sha512RSA"},
    {"1.2.840.10045.4.1", "sha1ECDSA"},      {"1.2.840.10045.4.3.2", "sha256ECDSA"},
    {"1.2.840.10045.4.3.3", "sha384ECDSA"},  {"1.2.840.10045.4.3.4", "sha512ECDSA"},
    {"1.2.156.10197.1.501", "sm3SM2"},
};

QString text(const std::string& utf8) { return QString::fromStdString(utf8); }

QString dottedOid(const ASN1_OBJECT* object) {
    char buffer[128];
    int n = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    return n > 0 ? QString::fromLatin1(buffer) : QString();
}

// Hex pairs separated by spaces, sixteen to a line.
QString hexLines(const BYTE* data, DWORD size) {
    QStringList lines;
    for (DWORD at = 0; at < size; at += 16) {
        QByteArray chunk(reinterpret_cast<const char*>(data + at),
                         static_cast<qsizetype>(std::min<DWORD>(16, size - at)));
        lines << QString::fromLatin1(chunk.toHex(' '));
    }
    return lines.join('\n');
}

QString oneLine(const QString& full) {
    QStringList parts;
    for (const QString& line : full.split('\n')) {
        QString part = line.trimmed();
        if (!part.isEmpty()) parts << part;
    }
    return parts.join(", ");
}

X509Ptr parsed(PCCERT_CONTEXT c) {
    const unsigned char* p = c->pbCertEncoded;
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(c->cbCertEncoded)));
}

QByteArray sha1Of(PCCERT_CONTEXT c) {
    CDigitalCertificate cert(c);
    CBBuffer hash;
    if (cert.getThumbPrint(&hash) != 0) return {};
    return QByteArray(reinterpret_cast<const char*>(hash.GetBuffer()), hash.size());
}

QString displayName(PCCERT_CONTEXT c) {
    CDigitalCertificate cert(c);
    std::string name;
    cert.getDisplayName(name);
    return text(name);
}

enum class Validity { Current, Expired, NotYetValid };

Validity validityOf(const CERT_INFO& info) {
    SYSTEMTIME utc{};
    FILETIME now{};
    GetSystemTime(&utc);
    SystemTimeToFileTime(&utc, &now);
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    if (ticks(now) < ticks(info.NotBefore)) return Validity::NotYetValid;
    if (ticks(now) > ticks(info.NotAfter)) return Validity::Expired;
    return Validity::Current;
}

const CERT_EXTENSION* extensionOf(const CERT_INFO& info, const char* oid) {
    return CertFindExtension(oid, info.cExtension, info.rgExtension);
}

QStringList purposesOf(const CERT_INFO& info) {
    const QStringList unrestricted{QStringLiteral("所有应用程序策略")};
    if (const CERT_EXTENSION* ext = extensionOf(info, kExtendedKeyUsage)) {
        const unsigned char* p = ext->Value.pbData;
        UsagesPtr usages(d2i_EXTENDED_KEY_USAGE(nullptr, &p, static_cast<long>(ext->Value.cbData)));
        if (usages) {
            QStringList oids;
            for (int i = 0; i < sk_ASN1_OBJECT_num(usages.get()); ++i)
                oids << dottedOid(sk_ASN1_OBJECT_value(usages.get(), i));
            if (oids.contains(kAnyExtendedKeyUsage)) return unrestricted;
            QStringList out;
            for (const Purpose& purpose : kPurposes)
                if (oids.removeAll(purpose.oid)) out << QString::fromUtf8(purpose.text);
            return out + oids;  // the ones without a name, as their OIDs
        }
    }
    if (const CERT_EXTENSION* ext = extensionOf(info, szOID_KEY_USAGE)) {
        const unsigned char* p = ext->Value.pbData;
        BitsPtr bits(d2i_ASN1_BIT_STRING(nullptr, &p, static_cast<long>(ext->Value.cbData)));
        unsigned char first = bits && ASN1_STRING_length(bits.get()) > 0 ? ASN1_STRING_get0_data(bits.get())[0] : 0;
        if (first & kEndEntityUsages) {
            QStringList out;
            for (const Purpose& purpose : kPurposes)
                if (first & purpose.keyUsages) out << QString::fromUtf8(purpose.text);
            return out;
        }
    }
    return unrestricted;
}

QString extensionName(const CERT_EXTENSION& ext) {
    const int nid = OBJ_txt2nid(ext.pszObjId);
    if (nid != NID_undef)
        for (const ExtensionName& name : kExtensionNames)
            if (name.nid == nid) return QString::fromUtf8(name.text);
    return QString::fromLatin1(ext.pszObjId);
}

// The value as OpenSSL prints it, or its bytes when OpenSSL does not know or cannot read it.
QString extensionValue(const CERT_EXTENSION& ext) {
    const QString raw = hexLines(ext.Value.pbData, ext.Value.cbData);
    ObjectPtr oid(OBJ_txt2obj(ext.pszObjId, 1));
    OctetsPtr value(ASN1_OCTET_STRING_new());
    if (!oid || !value || !ASN1_OCTET_STRING_set(value.get(), ext.Value.pbData, static_cast<int>(ext.Value.cbData)))
        return raw;
    ExtensionPtr extension(X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), ext.fCritical ? 1 : 0, value.get()));
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!extension || !out || X509V3_EXT_print(out.get(), extension.get(), X509V3_EXT_DEFAULT, 0) <= 0) return raw;
    char* data = nullptr;
    long size = BIO_get_mem_data(out.get(), &data);
    return QString::fromUtf8(data, static_cast<qsizetype>(size)).trimmed();
}

QString signatureAlgorithm(CDigitalCertificate& cert, const CERT_INFO& info) {
    std::string name;
    cert.getSignatureAlgorithm(name);
    const char* oid = info.SignatureAlgorithm.pszObjId ? info.SignatureAlgorithm.pszObjId : "";
    if (name == oid)
        for (const auto& [known, label] : kSignatureNames)
            if (!std::strcmp(known, oid)) return QString::fromLatin1(label);
    return text(name);
}

QString publicKeySummary(const X509* x509, const CERT_INFO& info) {
    const EVP_PKEY* key = x509 ? X509_get0_pubkey(x509) : nullptr;
    if (!key) {
        const char* oid = info.SubjectPublicKeyInfo.Algorithm.pszObjId;
        return oid && !std::strcmp(oid, szOID_RSA_RSA) ? QStringLiteral("RSA") : QString::fromLatin1(oid ? oid : "");
    }
    QString algorithm;
    switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA: algorithm = "RSA"; break;
    case EVP_PKEY_EC: algorithm = "ECC"; break;
    case EVP_PKEY_DSA: algorithm = "DSA"; break;
    default: algorithm = QString::fromLatin1(OBJ_nid2sn(EVP_PKEY_get_base_id(key))); break;
    }
    return QStringLiteral("%1 (%2 Bits)").arg(algorithm).arg(EVP_PKEY_get_bits(key));
}

// One RDN to a line, in the platform's X.500 form.
QString nameLines(const CERT_NAME_BLOB& blob) {
    CERT_NAME_BLOB name = blob;
    const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG;
    DWORD size = CertNameToStrA(X509_ASN_ENCODING, &name, type, nullptr, 0);
    if (size == 0) return {};
    std::string out(size, '\0');
    CertNameToStrA(X509_ASN_ENCODING, &name, type, out.data(), size);
    out.resize(std::strlen(out.c_str()));
    return text(out).remove('\r');
}

QLabel* selectable(const QString& value, const char* name, QWidget* parent) {
    auto* label = new QLabel(value, parent);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

struct StoreCertificate {
    ContextPtr context;
    X509Ptr x509;
    bool inRoot = false;  // in the Root store, which the user's distrust overrides
};

// Every store the path may pass through; "Disallowed" too, so a distrusted authority still shows
// in the path it breaks.
std::vector<StoreCertificate> storeCertificates() {
    std::vector<StoreCertificate> all;
    for (const char* name : {"MY", "ADDRESSBOOK", "CA", "Root", "Disallowed"}) {
        StorePtr store(CertOpenSystemStoreA(0, name));
        if (!store) continue;
        for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store.get(), c));) {
            X509Ptr x509 = parsed(c);
            if (!x509) continue;
            all.push_back(
                {ContextPtr(CertDuplicateCertificateContext(c)), std::move(x509), !std::strcmp(name, "Root")});
        }
    }
    return all;
}

// A warning line of the general page: the style's warning sign and the text, set off by weight
// rather than colour, so any palette keeps it readable.
void addWarning(QVBoxLayout* layout, const QString& text, const char* name, QWidget* page) {
    auto* row = new QHBoxLayout;
    auto* sign = new QLabel(page);
    const int size = page->style()->pixelMetric(QStyle::PM_SmallIconSize);
    sign->setPixmap(page->style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(size, size));
    sign->setAccessibleName(QStringLiteral("警告"));
    row->addWidget(sign, 0, Qt::AlignTop);
    QLabel* warning = selectable(text, name, page);
    QFont bold = warning->font();
    bold.setBold(true);
    warning->setFont(bold);
    row->addWidget(warning, 1);
    layout->addLayout(row);
}

bool signedBy(X509* subject, X509* issuer) {
    if (X509_NAME_cmp(X509_get_issuer_name(subject), X509_get_subject_name(issuer)) != 0) return false;
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    return key && X509_verify(subject, key) == 1;
}

}  // namespace

// What the stores make of the certificate: the path up from it and what stands in its way.
struct CCertificateViewer::Assessment {
    std::vector<StoreCertificate> candidates;
    std::vector<const StoreCertificate*> issuers;  // nearest first
    bool complete = false;                         // the path ends in a self-signed certificate
    bool trustedRoot = false;                      // that one is in Root and not distrusted
    bool distrusted = false;                       // the certificate or one above it is in Disallowed
    bool revoked = false;                          // as the cached revocation lists say
    Validity validity = Validity::Current;

    explicit Assessment(PCCERT_CONTEXT certificate) : candidates(storeCertificates()) {
        // From this certificate up: each issuer has the name this one names and the key that verifies it.
        const std::set<std::string> refused = orvik::distrustedThumbprints();
        auto isRefused = [&refused](PCCERT_CONTEXT c) {
            return refused.count(sha1Of(c).toHex().toUpper().toStdString()) != 0;
        };
        distrusted = isRefused(certificate);
        X509Ptr self = parsed(certificate);
        X509* current = self.get();
        for (int step = 0; current && step < kMaxPathSteps; ++step) {
            if (signedBy(current, current)) {
                complete = true;
                break;
            }
            const StoreCertificate* issuer = nullptr;
            for (const StoreCertificate& c : candidates)
                if (signedBy(current, c.x509.get())) {
                    issuer = &c;
                    break;
                }
            if (!issuer) break;
            issuers.push_back(issuer);
            distrusted = distrusted || isRefused(issuer->context.get());
            current = issuer->x509.get();
        }
        if (complete && !distrusted)
            trustedRoot = std::any_of(candidates.begin(), candidates.end(), [current](const StoreCertificate& c) {
                return c.inRoot && X509_cmp(c.x509.get(), current) == 0;
            });
        validity = validityOf(*certificate->pCertInfo);
        // From the cache only: opening a window must not wait for the network.
        std::string state;
        revoked = CDigitalCertificate(certificate).CRLCheck(state, false) == CDigitalCertificate::Revoked;
    }
};

CCertificateViewer::CCertificateViewer(PCCERT_CONTEXT certificate, const QString& title, QWidget* parent)
    : QDialog(parent), certificate_(certificate ? CertDuplicateCertificateContext(certificate) : nullptr) {
    setWindowTitle(title.isEmpty() ? QStringLiteral("证书") : title);
    setModal(true);
    resize(460, 540);
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("tabs");
    tabs_->setAccessibleName(QStringLiteral("证书"));
    if (certificate_) {
        const Assessment assessment(certificate_);
        tabs_->addTab(generalPage(assessment), QStringLiteral("常规"));
        tabs_->addTab(detailsPage(), QStringLiteral("详细信息"));
        tabs_->addTab(pathPage(assessment), QStringLiteral("证书路径"));
    }
    layout->addWidget(tabs_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName("1");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addWidget(ok);
    layout->addLayout(buttons);
}

CCertificateViewer::~CCertificateViewer() {
    if (certificate_) CertFreeCertificateContext(certificate_);
}

QWidget* CCertificateViewer::generalPage(const Assessment& assessment) {
    auto* page = new QWidget(tabs_);
    page->setObjectName("general");
    const CERT_INFO& info = *certificate_->pCertInfo;
    CDigitalCertificate cert(certificate_);
    auto* layout = new QVBoxLayout(page);

    auto* heading = new QLabel(QStringLiteral("证书信息"), page);
    QFont bold = heading->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    heading->setFont(bold);
    layout->addWidget(heading);

    layout->addWidget(new QLabel(QStringLiteral("这个证书的目的："), page));
    QStringList purposes;
    for (const QString& purpose : purposesOf(info)) purposes << QStringLiteral("• ") + purpose;
    QLabel* purposeList = selectable(purposes.join('\n'), "purposes", page);
    purposeList->setContentsMargins(16, 0, 0, 0);
    layout->addWidget(purposeList);

    auto* line = new QFrame(page);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);

    std::string issuedTo, issuedBy, from, to;
    cert.getDisplayName(issuedTo);
    cert.getIssuerCN(issuedBy);
    cert.getValidFromDate(from);
    cert.getValidToDate(to);
    auto* names = new QGridLayout;
    names->addWidget(new QLabel(QStringLiteral("颁发给："), page), 0, 0, Qt::AlignTop);
    names->addWidget(selectable(text(issuedTo), "issuedTo", page), 0, 1);
    names->addWidget(new QLabel(QStringLiteral("颁发者："), page), 1, 0, Qt::AlignTop);
    names->addWidget(selectable(text(issuedBy), "issuedBy", page), 1, 1);
    names->setColumnStretch(1, 1);
    layout->addLayout(names);
    layout->addWidget(selectable(QStringLiteral("有效期从 %1 到 %2").arg(text(from), text(to)), "validity", page));

    DWORD size = 0;
    if (CertGetCertificateContextProperty(certificate_, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
        layout->addWidget(selectable(QStringLiteral("您有一个与该证书对应的私钥。"), "privateKey", page));

    if (assessment.revoked) addWarning(layout, QStringLiteral("此证书已被吊销。"), "revokedWarning", page);
    if (assessment.validity != Validity::Current)
        addWarning(layout,
                   assessment.validity == Validity::Expired ? QStringLiteral("此证书已过期。")
                                                            : QStringLiteral("此证书尚未生效。"),
                   "timeWarning", page);
    QString untrusted;
    if (assessment.distrusted)
        untrusted = QStringLiteral("此证书不受信任。您已将它或颁发它的证书机构设为不信任。");
    else if (!assessment.complete)
        untrusted = QStringLiteral("此证书不受信任。找不到它的颁发者，无法验证它。");
    else if (!assessment.trustedRoot)
        untrusted = QStringLiteral("此证书不受信任。它的根证书不是受信任的根证书。");
    if (!untrusted.isEmpty()) addWarning(layout, untrusted, "trustWarning", page);
    layout->addStretch();
    return page;
}

QWidget* CCertificateViewer::detailsPage() {
    auto* page = new QWidget(tabs_);
    page->setObjectName("details");
    const CERT_INFO& info = *certificate_->pCertInfo;
    CDigitalCertificate cert(certificate_);
    X509Ptr x509 = parsed(certificate_);
    auto* layout = new QVBoxLayout(page);

    auto* fields = new QTreeWidget(page);
    fields->setObjectName("fields");
    fields->setAccessibleName(QStringLiteral("字段"));
    fields->setColumnCount(2);
    fields->setHeaderLabels({QStringLiteral("字段"), QStringLiteral("值")});
    fields->setRootIsDecorated(false);
    fields->setUniformRowHeights(true);
    fields->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    // The list shows a value on one line; the box below shows all of it.
    auto add = [fields](const QString& field, const QString& full, const QString& summary = QString()) {
        auto* item = new QTreeWidgetItem(fields, {field, summary.isEmpty() ? oneLine(full) : summary});
        item->setData(1, Qt::UserRole, full);
    };
    auto field = [&cert](const char* key) {
        std::string out;
        cert.GetCertInfo(key, out);
        return text(out);
    };

    add(QStringLiteral("版本"), field("Version"));
    add(QStringLiteral("序列号"), field("SerialNumber"));
    add(QStringLiteral("签名算法"), signatureAlgorithm(cert, info));
    add(QStringLiteral("颁发者"), nameLines(info.Issuer), field("IssuerName"));
    add(QStringLiteral("有效期从"), field("ValidFromDate"));
    add(QStringLiteral("到"), field("ValidToDate"));
    add(QStringLiteral("使用者"), nameLines(info.Subject), field("SubjectName"));
    add(QStringLiteral("公钥"),
        hexLines(info.SubjectPublicKeyInfo.PublicKey.pbData, info.SubjectPublicKeyInfo.PublicKey.cbData),
        publicKeySummary(x509.get(), info));
    for (DWORD i = 0; i < info.cExtension; ++i)
        add(extensionName(info.rgExtension[i]), extensionValue(info.rgExtension[i]));
    add(QStringLiteral("指纹算法"), QStringLiteral("sha1"));
    add(QStringLiteral("指纹"), QString::fromLatin1(sha1Of(certificate_).toHex(' ')));
    std::string friendly;
    if (cert.getFriendlyName(friendly) == 0 && !friendly.empty()) add(QStringLiteral("好记的名称"), text(friendly));
    layout->addWidget(fields, 3);

    auto* value = new QPlainTextEdit(page);
    value->setObjectName("value");
    value->setAccessibleName(QStringLiteral("值"));
    value->setReadOnly(true);
    value->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    layout->addWidget(value, 2);
    connect(fields, &QTreeWidget::currentItemChanged, value, [value](QTreeWidgetItem* current) {
        value->setPlainText(current ? current->data(1, Qt::UserRole).toString() : QString());
    });
    fields->setCurrentItem(fields->topLevelItem(0));
    return page;
}

QWidget* CCertificateViewer::pathPage(const Assessment& assessment) {
    auto* page = new QWidget(tabs_);
    page->setObjectName("path");
    auto* layout = new QVBoxLayout(page);
    const std::vector<const StoreCertificate*>& issuers = assessment.issuers;

    auto* box = new QGroupBox(QStringLiteral("证书路径"), page);
    auto* boxLayout = new QVBoxLayout(box);
    auto* chain = new QTreeWidget(box);
    chain->setObjectName("chain");
    chain->setHeaderHidden(true);
    chain->setAccessibleName(QStringLiteral("证书路径"));
    QTreeWidgetItem* item = nullptr;
    auto append = [&](PCCERT_CONTEXT c) {
        item = item ? new QTreeWidgetItem(item, {displayName(c)}) : new QTreeWidgetItem(chain, {displayName(c)});
    };
    for (auto it = issuers.rbegin(); it != issuers.rend(); ++it) append((*it)->context.get());
    append(certificate_);
    chain->expandAll();
    chain->setCurrentItem(item);
    boxLayout->addWidget(chain);
    layout->addWidget(box, 1);

    QString status;
    if (assessment.revoked)
        status = QStringLiteral("此证书已被吊销。");
    else if (assessment.distrusted)
        status = QStringLiteral("此证书或颁发它的证书机构已被设为不信任。");
    else if (assessment.validity == Validity::Expired)
        status = QStringLiteral("该证书已过期。");
    else if (assessment.validity == Validity::NotYetValid)
        status = QStringLiteral("该证书尚未生效。");
    else if (!assessment.complete)
        status = QStringLiteral("找不到该证书的颁发者。");
    else if (!assessment.trustedRoot)
        status = QStringLiteral("此 CA 根证书不受信任。");
    else
        status = QStringLiteral("该证书没有问题。");
    layout->addWidget(new QLabel(QStringLiteral("证书状态："), page));
    QLabel* statusLabel = selectable(status, "status", page);
    statusLabel->setAccessibleName(QStringLiteral("证书状态"));
    statusLabel->setFrameShape(QFrame::StyledPanel);
    statusLabel->setMargin(6);
    layout->addWidget(statusLabel);
    return page;
}

void CCertificateViewer::install() {
    // The platform's owner handle names no Qt window: the window the user is working in owns it.
    orvik::setCertificateViewer([](HWND, PCCERT_CONTEXT certificate, const std::string& title) {
        QWidget* owner = QApplication::activeModalWidget();
        if (!owner) owner = QApplication::activeWindow();
        CCertificateViewer viewer(certificate, QString::fromStdString(title), owner);
        if (state().headless) {
            state().shown.push_back(QString::fromLatin1(sha1Of(certificate).toHex().toUpper()));
            return true;
        }
        viewer.exec();
        return true;
    });
}

void CCertificateViewer::setHeadless(bool headless) { state().headless = headless; }

const std::vector<QString>& CCertificateViewer::shown() { return state().shown; }

void CCertificateViewer::clearShown() { state().shown.clear(); }

}  // namespace orvikdesk
