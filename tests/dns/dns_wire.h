// Small builder of DNS wire-format messages for the decoder tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace dnstest {

struct Wire {
    std::vector<uint8_t> b;

    Wire& u8(uint32_t v) {
        b.push_back(uint8_t(v));
        return *this;
    }
    Wire& u16(uint32_t v) {
        b.push_back(uint8_t(v >> 8));
        b.push_back(uint8_t(v));
        return *this;
    }
    Wire& u32(uint32_t v) {
        u16(v >> 16);
        return u16(v & 0xFFFF);
    }
    Wire& bytes(std::initializer_list<uint8_t> v) {
        b.insert(b.end(), v.begin(), v.end());
        return *this;
    }
    Wire& bytes(const std::vector<uint8_t>& v) {
        b.insert(b.end(), v.begin(), v.end());
        return *this;
    }
    Wire& text(const std::string& s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    // Character-string: a length byte and the text.
    Wire& str(const std::string& s) {
        u8(uint32_t(s.size()));
        return text(s);
    }
    // Uncompressed name from dotted text; "" or "." is the root.
    Wire& name(const std::string& dotted) {
        size_t start = 0;
        while (start < dotted.size()) {
            size_t dot = dotted.find('.', start);
            if (dot == std::string::npos)
                dot = dotted.size();
            if (dot > start)
                str(dotted.substr(start, dot - start));
            start = dot + 1;
        }
        return u8(0);
    }
    Wire& ptr(uint32_t target) { return u16(0xC000 | target); }
    Wire& header(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar) {
        return u16(id).u16(flags).u16(qd).u16(an).u16(ns).u16(ar);
    }
    Wire& question(const std::string& n, uint16_t type = 1, uint16_t cls = 1) {
        return name(n).u16(type).u16(cls);
    }
    // Fixed record fields after an owner name already written.
    Wire& rrFields(uint16_t type, uint16_t cls, uint32_t ttl, const std::vector<uint8_t>& rdata) {
        u16(type).u16(cls).u32(ttl).u16(uint32_t(rdata.size()));
        return bytes(rdata);
    }
    Wire& rr(const std::string& owner, uint16_t type, const std::vector<uint8_t>& rdata, uint32_t ttl = 300) {
        name(owner);
        return rrFields(type, 1, ttl, rdata);
    }
    uint32_t size() const { return uint32_t(b.size()); }
};

inline std::string text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

} // namespace dnstest
