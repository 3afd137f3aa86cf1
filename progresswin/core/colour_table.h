// Text colours of the progress window's labels and the ids that may carry one.
// Plain C++ so that it builds and is tested on any platform.
#pragma once

#include <cstdint>

namespace morx {

// Win32 COLORREF layout: 0x00BBGGRR.
using ColourRef = std::uint32_t;

// Colour of a colour index: 1..15 name a colour, every other index is black.
ColourRef colourForIndex(int index);

// True for the ids of the window's static controls and group boxes whose text colour can be set.
bool isColourableControl(int id);

// Control id addressed by a label number (id = number + 1000). Numbers whose id would leave the
// int range map to 0, which names no control.
int controlIdForNumber(int number);

// Colour index per colourable control; every index starts at 0.
class ControlColours {
public:
    ControlColours();
    // Stores the index for a colourable id; other ids are ignored.
    void setControlColour(int id, int index);
    // Stored index of a colourable id, 0 for any other id.
    int controlColour(int id) const;

private:
    static constexpr int kFirstId = 1000;
    static constexpr int kLastId = 1441;
    int m_index[kLastId - kFirstId + 1];
};

}  // namespace morx
