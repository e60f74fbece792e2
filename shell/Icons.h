#pragma once

#include <QIcon>
#include <QImage>

// The program's three pictures, drawn in code so that they are sharp at every size: the
// application emblem (a round black emblem with three cyan segments in a white halo, so that
// it reads on dark and light panels alike) and the two frames of
// the busy animation (a black "+" and a black "×", each with a grey shadow).
QIcon AppIcon();
// The application emblem alone at `size` pixels, for the installed icon theme's pictures.
QImage AppEmblemImage(int size);
QIcon PlusIcon();
QIcon CrossIcon();
