// The module's icon: two bitmap resources and the "draw" handler.
#pragma once

#define IDB_ICON_SMALL 101  // 16 x 17, of which the top 16 x 16 is painted
#define IDB_ICON_LARGE 102  // 32 x 32
