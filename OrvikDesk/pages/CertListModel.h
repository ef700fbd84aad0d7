// The rows of a certificate page: one per certificate of the store, in the store's order, so a
// row number is the store's index until the next load. Rows name their certificate by thumbprint.
#pragma once

#include <QAbstractTableModel>
#include <QDateTime>
#include <QHash>
#include <QIcon>
#include <vector>

class CCertStore;
class CDigitalCertificate;

namespace orvikdesk {

class CCertListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { IssuedTo, IssuedBy, ValidTo, FriendlyName, Status };
    enum { ThumbprintRole = Qt::UserRole + 1, SortRole };

    struct Row {
        QString thumbprint;  // upper-case hex, no spaces
        QString issuedTo, issuedBy, validTo, friendlyName, status;
        QDateTime notAfter;
        bool expired = false;
        bool untrusted = false;  // the authorities' page: the user's trust does not reach it
    };

    // What the fifth column holds: nothing (four columns), "证书状态", or the authorities' trust.
    enum class Fifth { None, Status, Trust };
    explicit CCertListModel(Fifth fifth, QObject* parent = nullptr);
    Fifth fifth() const { return fifth_; }

    // The store's certificates, read anew; the store must be open.
    void load(CCertStore& store);
    void clear();
    static Row rowOf(CDigitalCertificate& certificate);

    const Row& row(int index) const { return rows_[static_cast<size_t>(index)]; }
    // -1 when no row has this thumbprint.
    int rowOfThumbprint(const QString& thumbprint) const;
    void setStatus(const QString& thumbprint, const QString& status);
    // The trust column's text; `untrusted` marks the row as a problem.
    void setTrust(const QString& thumbprint, const QString& text, bool untrusted);
    void setFriendlyName(const QString& thumbprint, const QString& name);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    static QString thumbprintText(CDigitalCertificate& certificate);

private:
    void changed(int row, int column);

    Fifth fifth_;
    std::vector<Row> rows_;
    QHash<QString, int> byThumbprint_;
    QIcon valid_, expired_;
};

}  // namespace orvikdesk
