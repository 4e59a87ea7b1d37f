#include "app/catalog_format.h"

#include <cctype>

namespace rexmoor {

std::string FillCatalogText(std::string_view format, const std::vector<std::string>& args) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 >= format.size()) {
      out += format[i];
      continue;
    }
    if (format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    while (j < format.size() && (std::isdigit(static_cast<unsigned char>(format[j])) || format[j] == '-')) ++j;
    while (j < format.size() && (format[j] == 'l' || format[j] == 'h' || format[j] == 'I' || format[j] == '6' ||
                                 format[j] == '4'))
      ++j;
    if (j < format.size() && std::string_view("csSdiu").find(format[j]) != std::string_view::npos) {
      if (next < args.size()) out += args[next];
      ++next;
      i = j;
      continue;
    }
    out += format[i];
  }
  return out;
}

}  // namespace rexmoor
