// What the three wizard pages share: the title, the picture on the left, a column of controls and
// a row of buttons, each control named by its resource id.
#pragma once

#include <QDialog>

class QBoxLayout;
class QLabel;
class QListWidget;
class QPushButton;

class WizardPage : public QDialog {
    Q_OBJECT
public:
    enum { IDC_OK = 1, IDC_CANCEL = 2 };
    WizardPage(int idd, QWidget* parent);

protected:
    QLabel* addText(const QString& text, int id = 0);
    QListWidget* addList(int id);
    QPushButton* addButton(int id, const QString& text);

    QBoxLayout* column_;
    QBoxLayout* buttons_;
};
