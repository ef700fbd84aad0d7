// A settings page of two radio buttons over one profile entry: "1" for the first button, "0"
// for the second.
#pragma once

#include <QWidget>
#include <string>

class QButtonGroup;

namespace orvikdesk {

class CRadioPage : public QWidget {
    Q_OBJECT
public:
    struct Setting {
        int idd;
        const char* section;
        const char* entry;
        const char* fallback;  // read when the entry is missing
        int firstId;
        const char* firstText;
        int secondId;
        const char* secondText;
    };

    // Reads the entry and checks its button.
    CRadioPage(const Setting& setting, QWidget* parent);

    // 0 for the first button, 1 for the second, -1 when neither is checked.
    int radio() const;
    // The entry's text for the checked button.
    std::string value() const { return radio() == 0 ? "1" : "0"; }
    const char* section() const { return setting_.section; }
    const char* entry() const { return setting_.entry; }

private:
    Setting setting_;
    QButtonGroup* group_;
};

}  // namespace orvikdesk
