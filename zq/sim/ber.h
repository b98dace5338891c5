// Minimal BER for SNMPv1/v2c messages: just what a read-only agent needs.
// Decoding never reads outside the buffer it is given; anything it does not
// understand makes it fail, never guess.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zqsim::ber {

enum Tag : uint8_t {
    kInteger = 0x02,
    kOctetString = 0x04,
    kNull = 0x05,
    kOid = 0x06,
    kSequence = 0x30,
    kIpAddress = 0x40,
    kCounter32 = 0x41,
    kGauge32 = 0x42,
    kTimeTicks = 0x43,
    kOpaque = 0x44,
    kCounter64 = 0x46,
    kNoSuchObject = 0x80,
    kNoSuchInstance = 0x81,
    kEndOfMibView = 0x82,
    kGetRequest = 0xa0,
    kGetNextRequest = 0xa1,
    kResponse = 0xa2,
    kSetRequest = 0xa3,
    kGetBulkRequest = 0xa5,
};

// Reads one TLV at a time from a byte range.
class Reader {
public:
    Reader(const uint8_t* data, size_t len) : p_(data), end_(data + len) {}
    explicit Reader(std::string_view s)
        : Reader(reinterpret_cast<const uint8_t*>(s.data()), s.size()) {}
    // Reads the next TLV; false at the end or on a malformed header.  `whole`
    // spans the TLV with its header, `content` its contents.
    bool next(uint8_t& tag, std::string_view& content, std::string_view* whole = nullptr);
    // Reads the next TLV and checks its tag.
    bool expect(uint8_t tag, std::string_view& content);
    bool at_end() const { return p_ == end_; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// A signed INTEGER of 1 to 8 content bytes.
bool decode_int(std::string_view content, int64_t& out);
// An OID's contents; at most 128 sub-identifiers of 32 bits.
bool decode_oid(std::string_view content, std::vector<uint32_t>& out);

void put_length(std::string& out, size_t len);
void put_tlv(std::string& out, uint8_t tag, std::string_view content);
void put_int(std::string& out, int64_t v, uint8_t tag = kInteger);
void put_unsigned(std::string& out, uint64_t v, uint8_t tag);
// False when the OID cannot be encoded (fewer than two arcs, first arc above 2,
// second above 39 under 0 or 1).
bool put_oid(std::string& out, const std::vector<uint32_t>& oid);
// Size of a TLV holding `len` content bytes.
size_t tlv_size(size_t len);

}  // namespace zqsim::ber
