#include <orvik/AsnTime.h>

namespace orvik {

bool secondsFromNow(const ASN1_TIME* t, long long& seconds) {
    int days = 0, rest = 0;
    if (!t || !ASN1_TIME_diff(&days, &rest, nullptr, t)) return false;
    seconds = days * 86400LL + rest;
    return true;
}

}  // namespace orvik
