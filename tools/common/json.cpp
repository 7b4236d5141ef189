#include "common/json.h"

namespace ecub::tools {

Json JsonText(const std::string& bytes) {
  std::string utf8;
  utf8.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      utf8.push_back(static_cast<char>(c));
    } else {
      utf8.push_back(static_cast<char>(0xC0 | (c >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return Json(std::move(utf8));
}

std::string DumpJson(const Json& value) {
  return value.dump(-1, ' ', /*ensure_ascii=*/true);
}

}  // namespace ecub::tools
