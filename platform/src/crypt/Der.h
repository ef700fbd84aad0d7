// A small DER reader and the few encoders the certificate services need. Every read is bounds
// checked: a damaged encoding makes next() fail, never read past the bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvik::der {

enum Tag : uint8_t {
    Boolean = 0x01,
    Integer = 0x02,
    BitString = 0x03,
    OctetString = 0x04,
    Null = 0x05,
    Oid = 0x06,
    Utf8String = 0x0C,
    PrintableString = 0x13,
    T61String = 0x14,
    Ia5String = 0x16,
    UtcTime = 0x17,
    GeneralizedTime = 0x18,
    BmpString = 0x1E,
    UniversalString = 0x1C,
    Sequence = 0x30,
    Set = 0x31,
};

struct Tlv {
    uint8_t tag = 0;
    const uint8_t* start = nullptr;  // the tag byte
    const uint8_t* value = nullptr;  // the content octets
    size_t length = 0;               // of the content
    size_t size() const { return static_cast<size_t>(value - start) + length; }
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    explicit Reader(const Tlv& constructed) : p_(constructed.value), end_(constructed.value + constructed.length) {}
    bool atEnd() const { return p_ == end_; }
    bool next(Tlv& out);
    // Reads the next element only when it has this tag.
    bool nextIf(uint8_t tag, Tlv& out);
    bool peekTag(uint8_t& tag) const;

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// "2.5.4.3" from the content octets of an OBJECT IDENTIFIER; empty when malformed.
std::string oidText(const uint8_t* value, size_t length);
std::string oidText(const Tlv& oid);
// The content octets of an OBJECT IDENTIFIER in dotted form; empty when malformed.
std::vector<uint8_t> oidBytes(const std::string& dotted);

// Appends a tag with its definite length.
void appendHeader(std::vector<uint8_t>& out, uint8_t tag, size_t length);
void appendTlv(std::vector<uint8_t>& out, uint8_t tag, const uint8_t* value, size_t length);

// UTCTime or GeneralizedTime into seconds since 1970 (UTC), seconds and an offset from UTC optional,
// fractions of a second dropped; false when malformed.
bool parseTime(const Tlv& time, int64_t& seconds);

}  // namespace orvik::der
