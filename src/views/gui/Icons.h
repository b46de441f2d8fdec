// The pictures of the program, painted at run time: the 25 row icons of the
// history list, the toolbar buttons and the application icon.
//
// Row icons follow one scheme: the client is on the left, the server on the
// right; client-side arrows are red, server-side arrows yellow, datagrams
// blue and playback figures cyan.
#pragma once

#include <QIcon>
#include <QPixmap>

constexpr int kEventIconCount = 25;

// Row icon by index 0..24 (16 x 16 layout pixels, transparent background),
// painted for the pixel ratio of the application's finest screen.
const QPixmap& EventIconPixmap(int nIndex);
// Toolbar button picture of a command (16 x 15 layout pixels, painted for
// each common pixel ratio), null icon when none.
QIcon ToolbarIcon(unsigned int nID);
// The application's icon.
QIcon AppIcon();
