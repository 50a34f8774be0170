#include "ui/ToolbarImages.h"

#include <stdexcept>

#if __has_include("ui/resources/TarvikUiResources.h")
#include "ui/resources/TarvikUiResources.h"
#define TARVIK_HAS_UI_RESOURCES 1
#endif

namespace tarvik {

namespace {

#ifdef TARVIK_HAS_UI_RESOURCES
constexpr int kFaceBitmaps[] = {IDB_CAPTURE_IDLE, IDB_CAPTURE_ACTIVE};
constexpr int kToolbarIcons[] = {IDI_OPTIONS, IDI_HELP};
constexpr int kMenuIcons[MenuIconCount] = {IDI_CANCEL_CAPTURE, IDI_BEEP,          IDI_ABOUT,
                                           IDI_GETTING_STARTED, IDI_HELP_ONLINE,  IDI_ONLINE_FORUM,
                                           IDI_FEEDBACK_MAIL,   IDI_SUPPORT_ONLINE, IDI_UNINSTALL};
#else
constexpr int kFaceBitmaps[] = {0, 0};
constexpr int kToolbarIcons[] = {0, 0};
constexpr int kMenuIcons[MenuIconCount] = {};
#endif

HIMAGELIST NewList(int width, int height, int count) {
  HIMAGELIST list = ::ImageList_Create(width, height, ILC_COLOR32 | ILC_MASK, count, 0);
  if (!list) throw std::runtime_error("Cannot create the toolbar's image list.");
  return list;
}

// A fully transparent image keeps the positions after it.
void AddEmpty(HIMAGELIST list, int width, int height) {
  HDC screen = ::GetDC(nullptr);
  HBITMAP image = ::CreateCompatibleBitmap(screen, width, height);
  HBITMAP mask = ::CreateBitmap(width, height, 1, 1, nullptr);
  ::ReleaseDC(nullptr, screen);
  HDC dc = ::CreateCompatibleDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, mask);
  RECT all{0, 0, width, height};
  ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));  // mask white: transparent
  ::SelectObject(dc, old);
  ::DeleteDC(dc);
  ::ImageList_Add(list, image, mask);
  ::DeleteObject(image);
  ::DeleteObject(mask);
}

void AddIcon(HIMAGELIST list, HINSTANCE instance, int id, int size) {
  HICON icon = id ? static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, 0))
                  : nullptr;
  if (!icon || ::ImageList_AddIcon(list, icon) < 0) AddEmpty(list, size, size);
  if (icon) ::DestroyIcon(icon);
}

void AddBitmap(HIMAGELIST list, HINSTANCE instance, int id, int width, int height) {
  HBITMAP bitmap = id ? static_cast<HBITMAP>(::LoadImageA(instance, MAKEINTRESOURCEA(id), IMAGE_BITMAP, 0, 0,
                                                          LR_CREATEDIBSECTION))
                      : nullptr;
  // Magenta marks the transparent pixels of the faces.
  if (!bitmap || ::ImageList_AddMasked(list, bitmap, RGB(255, 0, 255)) < 0) AddEmpty(list, width, height);
  if (bitmap) ::DeleteObject(bitmap);
}

}  // namespace

TToolbarImages LoadToolbarImages(HINSTANCE instance) {
  TToolbarImages images;
  try {
    images.Faces = NewList(CaptureFaceWidth, CaptureFaceHeight, 2);
    for (int id : kFaceBitmaps) AddBitmap(images.Faces, instance, id, CaptureFaceWidth, CaptureFaceHeight);
    images.Icons = NewList(ToolbarIconSize, ToolbarIconSize, 2);
    for (int id : kToolbarIcons) AddIcon(images.Icons, instance, id, ToolbarIconSize);
    images.MenuIcons = NewList(MenuIconSize, MenuIconSize, MenuIconCount);
    for (int id : kMenuIcons) AddIcon(images.MenuIcons, instance, id, MenuIconSize);
  } catch (...) {
    for (HIMAGELIST list : {images.Faces, images.Icons, images.MenuIcons})
      if (list) ::ImageList_Destroy(list);
    throw;
  }
  return images;
}

}  // namespace tarvik
