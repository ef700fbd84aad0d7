#include "pages/Page.h"

namespace orvikdesk {

CPage::CPage(int idd, QWidget* parent) : QWidget(parent), idd_(idd) { setObjectName(QString("IDD%1").arg(idd)); }

}  // namespace orvikdesk
