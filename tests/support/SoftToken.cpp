#include "SoftToken.h"

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>

#include <orvik/Tokens.h>

#include "Shell.h"

namespace orvik::test {

SoftToken::SoftToken(const std::string& label) : label_(label) {
    if (const char* p = std::getenv("SOFTHSM2_CONF")) {
        previous_ = p;
        hadPrevious_ = true;
    }
    mkdir(dir_.file("tokens").c_str(), 0700);
    mkdir(dir_.file("empty").c_str(), 0700);
    insert();
    addToken(label);
}

SoftToken::~SoftToken() {
    orvik::resetTokens();
    if (hadPrevious_)
        setenv("SOFTHSM2_CONF", previous_.c_str(), 1);
    else
        unsetenv("SOFTHSM2_CONF");
}

void SoftToken::point(const std::string& tokenDir) {
    const std::string conf = dir_.file(tokenDir + ".conf");
    writeFile(conf, "directories.tokendir = " + dir_.file(tokenDir) +
                        "\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n");
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    orvik::resetTokens();
}

void SoftToken::insert() { point("tokens"); }

void SoftToken::remove() { point("empty"); }

void SoftToken::addToken(const std::string& label) {
    auto run = runShell("softhsm2-util --init-token --free --label " + shellQuoted(label) + " --so-pin " + kSoPin +
                        " --pin " + kUserPin + " 2>&1");
    if (run.code != 0) throw std::runtime_error("softhsm2-util: " + run.out);
    orvik::resetTokens();
}

}  // namespace orvik::test
