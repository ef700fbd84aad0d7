#include "pages/CertListModel.h"

#include <QFont>
#include <QTimeZone>

#include "CertStore.h"
#include "DigitalCertificate.h"
#include "ui/Artwork.h"

namespace orvikdesk {

namespace {

const char* const kTitles[] = {"颁发给", "颁发者", "截止日期", "好记的名字", "证书状态"};
const char kTrustTitle[] = "信任";

QDateTime timeOf(const FILETIME& t) {
    // 100 ns steps since 1601-01-01.
    qint64 ticks = (static_cast<qint64>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    qint64 ms = ticks / 10000 - 11644473600000LL;
    return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc());
}

QIcon iconPair(int small, int large) {
    QIcon icon;
    for (int id : {small, large})
        for (const QSize& size : artwork::icon(id).availableSizes()) icon.addPixmap(artwork::icon(id).pixmap(size));
    return icon;
}

}  // namespace

CCertListModel::CCertListModel(Fifth fifth, QObject* parent)
    : QAbstractTableModel(parent), fifth_(fifth), valid_(iconPair(255, 257)), expired_(iconPair(256, 258)) {}

QString CCertListModel::thumbprintText(CDigitalCertificate& certificate) {
    CBBuffer raw;
    certificate.getThumbPrint(&raw);
    return QByteArray(reinterpret_cast<const char*>(raw.GetBuffer()), raw.size()).toHex().toUpper();
}

CCertListModel::Row CCertListModel::rowOf(CDigitalCertificate& cert) {
    Row row;
    std::string text;
    row.thumbprint = thumbprintText(cert);
    if (cert.getDisplayName(text) == 0) row.issuedTo = QString::fromStdString(text);
    if (cert.getIssuerCN(text) == 0) row.issuedBy = QString::fromStdString(text);
    if (cert.getValidToDate(text) == 0) row.validTo = QString::fromStdString(text);
    std::string friendly;
    if (cert.getFriendlyName(friendly) == 0) row.friendlyName = QString::fromStdString(friendly);
    if (const CERT_CONTEXT* context = cert.getPCCERT()) {
        row.notAfter = timeOf(context->pCertInfo->NotAfter);
        QDateTime now = QDateTime::currentDateTimeUtc();
        row.expired = now > row.notAfter || now < timeOf(context->pCertInfo->NotBefore);
    }
    return row;
}

void CCertListModel::load(CCertStore& store) {
    beginResetModel();
    rows_.clear();
    byThumbprint_.clear();
    int count = store.GetCertCount();
    rows_.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (CDigitalCertificate* cert = store.getCert(i))
            rows_.push_back(rowOf(*cert));
        else
            rows_.emplace_back();
        byThumbprint_.insert(rows_.back().thumbprint, i);
    }
    endResetModel();
}

void CCertListModel::clear() {
    beginResetModel();
    rows_.clear();
    byThumbprint_.clear();
    endResetModel();
}

int CCertListModel::rowOfThumbprint(const QString& thumbprint) const { return byThumbprint_.value(thumbprint, -1); }

void CCertListModel::changed(int row, int column) {
    QModelIndex i = index(row, column);
    emit dataChanged(i, i);
}

void CCertListModel::setStatus(const QString& thumbprint, const QString& status) {
    int r = rowOfThumbprint(thumbprint);
    if (r < 0 || fifth_ != Fifth::Status) return;
    rows_[static_cast<size_t>(r)].status = status;
    changed(r, Status);
}

void CCertListModel::setTrust(const QString& thumbprint, const QString& text, bool untrusted) {
    int r = rowOfThumbprint(thumbprint);
    if (r < 0 || fifth_ != Fifth::Trust) return;
    Row& row = rows_[static_cast<size_t>(r)];
    row.status = text;
    row.untrusted = untrusted;
    emit dataChanged(index(r, 0), index(r, Status));
}

void CCertListModel::setFriendlyName(const QString& thumbprint, const QString& name) {
    int r = rowOfThumbprint(thumbprint);
    if (r < 0) return;
    rows_[static_cast<size_t>(r)].friendlyName = name;
    changed(r, FriendlyName);
}

int CCertListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CCertListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : fifth_ == Fifth::None ? 4 : 5;
}

QVariant CCertListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    const Row& r = rows_[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case SortRole:
        switch (index.column()) {
        case IssuedTo: return r.issuedTo;
        case IssuedBy: return r.issuedBy;
        case ValidTo: return role == SortRole ? QVariant(r.notAfter) : QVariant(r.validTo);
        case FriendlyName: return r.friendlyName;
        case Status: return r.status;
        default: return {};
        }
    case Qt::DecorationRole:
        return index.column() == IssuedTo ? (r.expired || r.untrusted ? expired_ : valid_) : QVariant();
    case Qt::FontRole: {
        // Marked by weight, not colour, so any palette (dark, high contrast) keeps it readable.
        if (!((r.expired && index.column() == ValidTo) || (r.untrusted && index.column() == Status))) return {};
        QFont font;
        font.setBold(true);
        return font;
    }
    case Qt::ToolTipRole:
        if (r.expired) return QStringLiteral("此证书已过期或尚未生效");
        if (r.untrusted) return QStringLiteral("此证书不受信任");
        return r.issuedTo;
    case Qt::AccessibleDescriptionRole:
        if (r.expired) return QStringLiteral("此证书已过期或尚未生效");
        return r.untrusted ? QVariant(QStringLiteral("此证书不受信任")) : QVariant();
    case ThumbprintRole: return r.thumbprint;
    default: return {};
    }
}

QVariant CCertListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columnCount()) return {};
    return QString::fromUtf8(section == Status && fifth_ == Fifth::Trust ? kTrustTitle : kTitles[section]);
}

}  // namespace orvikdesk
