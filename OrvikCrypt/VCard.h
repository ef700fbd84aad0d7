// Contact cards (vCard 2.1, 3.0 and 4.0): the correspondents, and their certificates, that users
// bring from their address books and mail programs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CVCard {
public:
    enum Version { V21, V30, V40 };

    struct Date {
        int year = 0, month = 0, day = 0;  // year 0: a birthday without a year ("--0415")
        bool operator==(const Date&) const = default;
    };
    struct Phone {
        std::string number{};
        std::vector<std::string> types{};  // lower case ("home", "work", "cell", "fax", "voice", ...), "pref" last
        bool operator==(const Phone&) const = default;
    };
    struct Address {
        std::vector<std::string> types{};  // as Phone::types
        std::string poBox{}, extended{}, street{}, city{}, region{}, postalCode{}, country{};
        bool operator==(const Address&) const = default;
    };
    // All text UTF-8, line breaks as "\n". Every member has an initializer, so a designated
    // initializer may leave any of them out.
    struct Entry {
        std::string formattedName{};                                  // FN
        std::string family{}, given{}, middle{}, prefix{}, suffix{};  // N
        std::string nickname{};                                       // NICKNAME
        std::vector<std::string> emails{};         // EMAIL: the preferred ones first, then in file order
        std::vector<Phone> phones{};               // TEL
        std::vector<Address> addresses{};          // ADR
        std::string organization{}, department{};  // ORG, its first two components
        std::string title{}, note{};               // TITLE, NOTE
        std::optional<Date> birthday{};            // BDAY
        std::vector<std::string> urls{};           // URL
        std::vector<std::string> certificates{};   // KEY values that are X.509 certificates, DER
        bool operator==(const Entry&) const = default;
    };

    // A card that was left out, and why.
    struct Problem {
        int card = 0;         // 1 for the file's first BEGIN:VCARD; 0 for text outside any card
        std::string name{};   // its name as far as it could be read, else empty
        std::string error{};  // names the line and what is wrong
        bool operator==(const Problem&) const = default;
    };

    // Appends the good cards of a file's bytes to `out` and each damaged one to `problems`: one
    // bad card never costs the others. False, with `error`, only when the bytes are not text or
    // hold no card at all.
    static bool Parse(std::string_view bytes, std::vector<Entry>& out, std::vector<Problem>& problems,
                      std::string& error);
    // All or nothing: false, with the first problem as `error`, when any card is damaged; `out`
    // is then unchanged.
    static bool Parse(std::string_view bytes, std::vector<Entry>& out, std::string& error);

    // The cards as a file, CRLF line ends. V21 writes text that is not plain ASCII as
    // quoted-printable code page 936 (CHARSET=GB2312), or UTF-8 where code page 936 cannot carry
    // it; V30 and V40 write UTF-8, escaped and folded at 75 octets. An empty formattedName is
    // written as the name from N, or else the first e-mail address.
    static std::string Write(const std::vector<Entry>& entries, Version version);
};
