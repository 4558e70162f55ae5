#include "platform.h"

#include <mutex>

namespace norza::platform {
namespace {

std::mutex g_backendMutex;
Backend* g_testBackend = nullptr;
std::unique_ptr<Backend> g_installedBackend;

Backend& NativeBackend() {
  static const std::unique_ptr<Backend> backend = CreateNativeBackend();
  return *backend;
}

}  // namespace

Backend& ActiveBackend() {
  std::lock_guard<std::mutex> lock(g_backendMutex);
  if (g_testBackend != nullptr) return *g_testBackend;
  if (g_installedBackend) return *g_installedBackend;
  return NativeBackend();
}

void InstallBackend(std::unique_ptr<Backend> backend) {
  std::lock_guard<std::mutex> lock(g_backendMutex);
  g_installedBackend = std::move(backend);
}

void SetBackendForTesting(Backend* backend) {
  std::lock_guard<std::mutex> lock(g_backendMutex);
  g_testBackend = backend;
}

std::wstring BuildUsbDiskInterfacePath(const std::string& vendor, const std::string& product,
                                       const std::string& revision, const std::string& serial) {
  auto field = [](const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (unsigned char c : text) {
      // The path's own separators never come from a device: a serial that
      // spells "\\?\usbstor#disk&ven_zk&prod_..." must not look like one.
      // Nor do they stand for a blank: "Norza#update" is no calculator.
      if (c == '#' || c == '&' || c == '\\' || c == '?') {
        out.push_back(L'\uFFFD');
      } else if (c <= 0x20 || c >= 0x7F) {
        out.push_back(L'_');
      } else if (c >= 'A' && c <= 'Z') {
        out.push_back(static_cast<wchar_t>(c - 'A' + 'a'));
      } else {
        out.push_back(static_cast<wchar_t>(c));
      }
    }
    return out;
  };
  return L"\\\\?\\usbstor#disk&ven_" + field(vendor) + L"&prod_" + field(product) + L"&rev_" +
         field(revision) + L"#" + field(serial) + L"&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

std::string SerialOfInterfacePath(const std::wstring& path) {
  // \\?\usbstor#disk&ven_..&prod_..&rev_..#<serial>&0#{class}
  const std::size_t disk = path.find(L"#disk&");
  if (disk == std::wstring::npos) return {};
  const std::size_t hash = path.find(L'#', disk + 1);
  if (hash == std::wstring::npos) return {};
  const std::size_t start = hash + 1;
  const std::size_t end = path.find(L'#', start);
  std::wstring serial = path.substr(start, end == std::wstring::npos ? end : end - start);
  if (serial.size() >= 2 && serial.compare(serial.size() - 2, 2, L"&0") == 0)
    serial.resize(serial.size() - 2);
  return WideToUtf8(serial);
}

DiskIdentity Backend::DescribeDisk(const std::wstring& interfacePath) {
  return {SerialOfInterfacePath(interfacePath), {}, DeviceNodeOf(interfacePath)};
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = static_cast<uint32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      cp &= 0xFFFF;
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
        const uint32_t low = static_cast<uint32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::wstring Utf8ToWide(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    uint32_t cp = 0xFFFD;
    std::size_t length = 1;
    uint32_t minimum = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
      length = 0;  // stray continuation or invalid lead byte
    }
    if (length > 1) {
      bool valid = i + length <= size;
      for (std::size_t k = 1; valid && k < length; ++k) {
        if ((bytes[i + k] & 0xC0) != 0x80)
          valid = false;
        else
          cp = (cp << 6) | (bytes[i + k] & 0x3F);
      }
      if (!valid || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
        length = 1;
      }
    } else if (length == 0) {
      cp = 0xFFFD;
      length = 1;
    }
    i += length;
    if constexpr (sizeof(wchar_t) == 2) {
      if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
        continue;
      }
    }
    out.push_back(static_cast<wchar_t>(cp));
  }
  return out;
}

}  // namespace norza::platform
