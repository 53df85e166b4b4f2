#pragma once
// Saves a rectangle of the screen as a 24-bit BMP file, for screenshots of the
// Win32 windows under test (a person looks at them; no test compares pixels).

#include <windows.h>

#include <cstdio>
#include <string>

inline void SaveScreenBmp(const RECT& rect, const std::string& path) {
  const int w = rect.right - rect.left, h = rect.bottom - rect.top;
  const HDC screen = ::GetDC(nullptr);
  const HDC mem = ::CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  const HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  const HGDIOBJ old = ::SelectObject(mem, bitmap);
  ::BitBlt(mem, 0, 0, w, h, screen, rect.left, rect.top, SRCCOPY);
  const DWORD size = DWORD(((w * 3 + 3) & ~3) * h);
  const DWORD headers = DWORD(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER));
  const BITMAPFILEHEADER file{0x4D42, headers + size, 0, 0, headers};
  if (std::FILE* out = std::fopen(path.c_str(), "wb")) {
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
    std::fwrite(bits, size, 1, out);
    std::fclose(out);
  }
  ::SelectObject(mem, old);
  ::DeleteObject(bitmap);
  ::DeleteDC(mem);
  ::ReleaseDC(nullptr, screen);
}
