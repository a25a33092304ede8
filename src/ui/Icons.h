#pragma once
// The program's pictures, drawn at start-up with QPainter: the nine item
// images of the tree and the list, the tool-bar images and the drive images.

#include <QIcon>

namespace vantrel::ui {

// Item images: 0 folder, 1 open folder, 2 deleted-items node, 3 lost-items
// node, 4 search node, 5 file, 6 deleted folder, 7 open deleted folder,
// 8 deleted file. Each icon holds a 16- and a 32-pixel picture.
inline constexpr int kItemImageCount = 9;
QIcon ItemImage(int index);

// Tool-bar images 0 to 5: drive, save, find, find lost, parent folder, about.
QIcon ToolImage(int index);

// Drive images 0 to 3: removable, fixed, CD-ROM, remote.
QIcon DriveImage(int index);

}  // namespace vantrel::ui
