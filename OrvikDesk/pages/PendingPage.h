// A page whose content comes with a later version of the program: the frame shows it, activates it
// and routes its commands to it like any other, and it says what the page will hold.
#pragma once

#include "pages/Page.h"

namespace orvikdesk {

class CPendingPage : public CPage {
    Q_OBJECT
public:
    CPendingPage(int idd, const QString& title, QWidget* parent);
    int activations() const { return activations_; }
    void activate() override { ++activations_; }

private:
    int activations_ = 0;
};

}  // namespace orvikdesk
