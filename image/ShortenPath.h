#pragma once

#include <string>

namespace rq70 {

// `path` itself when it has at most `maxLength` characters; otherwise its root, "..." and the
// longest run of trailing components that keeps the whole within `maxLength`. When not even the
// file name fits, the path comes back unchanged.
//   C:\Programs\Device Tools\Firmware\RQ70-12.KRV  ->  C:\...\Device Tools\Firmware\RQ70-12.KRV
//   /home/service/firmware/updates/2024/RQ70-0112.KRV  ->  /.../firmware/updates/2024/RQ70-0112.KRV
std::string ShortenPath(const std::string& path, int maxLength);

} // namespace rq70
