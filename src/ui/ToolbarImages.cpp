#include "ui/ToolbarImages.h"

#include <stdexcept>

#include "ui/resources/TarvikUiResources.h"

namespace tarvik {

namespace {

static_assert(TARVIK_CAPTURE_FACE_WIDTH == CaptureFaceWidth && TARVIK_CAPTURE_FACE_HEIGHT == CaptureFaceHeight);

constexpr int kToolbarIcons[] = {IDI_OPTIONS, IDI_HELP};
constexpr int kMenuIcons[MenuIconCount] = {IDI_CANCEL_CAPTURE,  IDI_BEEP,           IDI_ABOUT,
                                           IDI_GETTING_STARTED, IDI_HELP_ONLINE,    IDI_ONLINE_FORUM,
                                           IDI_FEEDBACK_MAIL,   IDI_SUPPORT_ONLINE, IDI_UNINSTALL};

// 32-bit lists: the pictures carry their own alpha.
UniqueImageList NewList(int width, int height, int count) {
  UniqueImageList list(::ImageList_Create(width, height, ILC_COLOR32, count, 0));
  if (!list) throw std::runtime_error("Cannot create the toolbar's image list.");
  return list;
}

// Fully transparent images keep the positions after them.
void AddEmpty(HIMAGELIST list, int width, int height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  const UniqueHBitmap image(::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));  // all zero
  if (!image) return;
  ::ImageList_Add(list, image.Get(), nullptr);
}

void AddIcon(HIMAGELIST list, HINSTANCE instance, int id, int size) {
  const UniqueHIcon icon(static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, 0)));
  if (!icon || ::ImageList_AddIcon(list, icon.Get()) < 0) AddEmpty(list, size, size);
}

}  // namespace

TToolbarImages LoadToolbarImages(HINSTANCE instance) {
  TToolbarImages images;
  images.Faces = NewList(CaptureFaceWidth, CaptureFaceHeight, 2);
  {
    // One strip holds both faces side by side.
    const UniqueHBitmap faces(static_cast<HBITMAP>(
        ::LoadImageA(instance, MAKEINTRESOURCEA(IDB_CAPTURE_FACES), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    if (!faces || ::ImageList_Add(images.Faces.Get(), faces.Get(), nullptr) < 0) {
      AddEmpty(images.Faces.Get(), CaptureFaceWidth, CaptureFaceHeight);
      AddEmpty(images.Faces.Get(), CaptureFaceWidth, CaptureFaceHeight);
    }
  }
  images.Icons = NewList(ToolbarIconSize, ToolbarIconSize, 2);
  for (int id : kToolbarIcons) AddIcon(images.Icons.Get(), instance, id, ToolbarIconSize);
  images.MenuIcons = NewList(MenuIconSize, MenuIconSize, MenuIconCount);
  for (int id : kMenuIcons) AddIcon(images.MenuIcons.Get(), instance, id, MenuIconSize);
  return images;
}

}  // namespace tarvik
