// The other people's page with 10,000 certificates: shown in the details view, then filtered by
// the search box. Reports both against loading the same store and reading the same texts
// without the page, in the same run. Targets: shown under 1 s, filtered under 100 ms.
#include <QApplication>
#include <QLineEdit>
#include <QSortFilterProxyModel>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include <OtherCertStore.h>
#include <windows.h>

#include "pages/OtherCertPage.h"
#include "RowTexts.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

namespace {

constexpr int kCertificates = 10000;
constexpr int kRounds = 3;

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// What the page must do at least: open the store and read each row's texts.
size_t bareLoad() {
    size_t checksum = 0;
    COtherCertStore store;
    store.OpenCertStore();
    checksum += bench::readRowTexts(store);
    return checksum;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    orvik::test::TempHome home;
    auto& pki = orvik::test::TestPki::instance();
    HCERTSTORE book = CertOpenSystemStoreA(0, "ADDRESSBOOK");
    for (int i = 0; i < kCertificates; ++i) {
        auto cert = pki.issue({.cn = "用户" + std::to_string(i), .email = "user" + std::to_string(i) + "@example.com"});
        CertAddEncodedCertificateToStore(book, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(cert.der.data()),
                                         static_cast<DWORD>(cert.der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    }
    CertCloseStore(book, 0);

    orvikdesk::COtherCertPage page;
    page.resize(900, 600);
    page.setView(orvikdesk::CCertStorePage::View::Details);
    page.show();
    app.processEvents();

    double shown = 1e9, filtered = 1e9, reference = 1e9;
    size_t checksum = 0;
    int matches = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto t0 = Clock::now();
        checksum += bareLoad();
        auto t1 = Clock::now();
        page.refresh();
        page.detailsView()->repaint();
        app.processEvents();
        auto t2 = Clock::now();
        page.searchBox()->setText(QStringLiteral("用户77"));
        page.detailsView()->repaint();
        app.processEvents();
        auto t3 = Clock::now();
        matches = page.proxy()->rowCount();
        page.searchBox()->clear();
        app.processEvents();
        reference = std::min(reference, seconds(t0, t1));
        shown = std::min(shown, seconds(t1, t2));
        filtered = std::min(filtered, seconds(t2, t3));
    }
    std::printf(
        "cert_page: %d certificates, store alone %.1f ms; page shown %.1f ms, ratio %.2f (target < 1 s); "
        "filtered %.1f ms to %d rows, ratio %.3f (target < 100 ms)\n",
        kCertificates, reference * 1000, shown * 1000, shown / reference, filtered * 1000, matches,
        filtered / reference);
    std::printf("(checksum %zu)\n", checksum);
    return 0;
}
