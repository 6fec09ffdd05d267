// Reading direction: the engine reads rows top to bottom, each left to
// right. A page read another way is turned so that it reads that way, ordered
// as it is, and the explanation turned back:
//
//   rtl  mirrors x ((x, y) -> (-x, y)): the columns are taken from the right,
//        the rows still from the top;
//   ttb  turns the page a quarter (x, y) -> (y, -x): the rightmost column
//        becomes the top row and each column, read top to bottom, a row read
//        left to right (vertical CJK text).
//
// Both are exact in single and double precision (a sign, a swap), so the
// exact order of a turned page is the core's order of the same turned boxes.
#pragma once

#include <cstdint>
#include <utility>

#include "quorlin/engine/observer.hpp"

namespace quorlin::native {

enum class Direction : std::uint8_t { Ltr, Rtl, Ttb };

// A box (any struct of x1, y1, x2, y2, corners in any order) as the turned page has it.
template <class B>
B turned(const B& b, Direction d) noexcept {
    switch (d) {
        case Direction::Rtl:
            return B{-b.x1, b.y1, -b.x2, b.y2};
        case Direction::Ttb:
            return B{b.y1, -b.x1, b.y2, -b.x2};
        case Direction::Ltr:
            break;
    }
    return b;
}

// An extent (left, top, right, bottom) of the turned page as an extent of the page.
template <class T>
void turn_back(T& left, T& top, T& right, T& bottom, Direction d) noexcept {
    switch (d) {
        case Direction::Rtl:
            left = -left;
            right = -right;
            std::swap(left, right);
            return;
        case Direction::Ttb: {
            // x' in [left, right] is y; y' in [top, bottom] is -x
            const T x1 = -bottom;
            const T x2 = -top;
            top = left;
            bottom = right;
            left = x1;
            right = x2;
            return;
        }
        case Direction::Ltr:
            return;
    }
}

// A cut of the turned page (its axis and position) as a cut of the page.
template <class T>
void turn_back(quorlin::engine::CutAxis& axis, T& position, Direction d) noexcept {
    using quorlin::engine::CutAxis;
    const bool between_rows = axis == CutAxis::Horizontal;
    if (d == Direction::Rtl && !between_rows) {
        position = -position;
    } else if (d == Direction::Ttb) {
        // a cut between rows of the turned page lies between columns of the page
        axis = between_rows ? CutAxis::Vertical : CutAxis::Horizontal;
        if (between_rows) {
            position = -position;
        }
    }
}

}  // namespace quorlin::native
