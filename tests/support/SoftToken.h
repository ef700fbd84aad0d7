// A SoftHSM2 token in a temporary folder, reached the way users reach theirs: through p11-kit,
// which loads the SoftHSM2 module Debian registers with it. SOFTHSM2_CONF points the module at
// this folder for as long as the object lives.
#pragma once

#include <string>

#include "TempHome.h"

namespace orvik::test {

class SoftToken {
public:
    static constexpr const char* kUserPin = "123456";
    static constexpr const char* kSoPin = "87654321";

    // Initialises a token of this label in a fresh folder; the platform reloads its modules.
    explicit SoftToken(const std::string& label = "Orvik Test Token");
    ~SoftToken();
    SoftToken(const SoftToken&) = delete;
    SoftToken& operator=(const SoftToken&) = delete;

    const std::string& label() const { return label_; }
    // Takes the token out (the module then sees an empty folder) and puts it back.
    void remove();
    void insert();
    // A second token in the same folder.
    void addToken(const std::string& label);

private:
    void point(const std::string& tokenDir);

    TempDir dir_;
    std::string label_;
    std::string previous_;
    bool hadPrevious_ = false;
};

}  // namespace orvik::test
