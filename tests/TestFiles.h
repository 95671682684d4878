// Whole-file reads and writes for the tests that go through real files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>
#include <vector>

namespace testfiles {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ReadAll(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

inline void WriteAll(const std::filesystem::path& p, const Bytes& b) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// An ACL granting `nobody` read access, in the kernel's xattr form: version 2,
// then (tag, permissions, id) for owner, nobody, group, mask and others.
inline Bytes AclWithNobody() {
    Bytes acl = {2, 0, 0, 0};
    const std::uint32_t any = 0xFFFFFFFF;
    for (const auto& [tag, perm, id] :
         {std::tuple{1, 6, any}, {2, 4, 65534u}, {4, 4, any}, {0x10, 4, any}, {0x20, 0, any}}) {
        for (const std::uint32_t v : {std::uint32_t(tag) | std::uint32_t(perm) << 16, id})
            for (int k = 0; k < 4; ++k) acl.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    }
    return acl;
}

}  // namespace testfiles
