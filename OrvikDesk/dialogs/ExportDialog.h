// What the two "导出证书" dialogs share: the file name, its suffix and the overwrite question.
// The question is asked about the file that will be written, so the suffix is added first.
#pragma once

#include <QDialog>
#include <QStringList>

class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace orvikdesk {

class CExportDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDC_PATH = 1011, IDC_BROWSE = 1003 };

    void setPath(const QString& path);
    QString path() const;
    // The file to write: the path as typed when it ends in one of the suffixes, else with the
    // first suffix added.
    QString target() const;

protected:
    // suffixes: the first one is the default, as ".pfx".
    CExportDialog(int idd, const QString& label, QStringList suffixes, const QString& filter, QWidget* parent);

    QVBoxLayout* body() const { return body_; }
    // Further checks after the path's and before the overwrite question.
    virtual bool checkFields() { return true; }
    // Puts fields added to the body between "..." and "确定" in the Tab order, as they are shown.
    void tabThrough(const QList<QWidget*>& fields);

private:
    void browse();
    void onOk();

    QStringList suffixes_;
    QString filter_;
    QLineEdit* path_;
    QPushButton* browse_;
    QPushButton* ok_;
    QVBoxLayout* body_;
};

}  // namespace orvikdesk
