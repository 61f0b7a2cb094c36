// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QWidget>

#include <vector>

class QVBoxLayout;

namespace Velumo {

class TunnelRow;

// The tunnel rows of the list, top to bottom, in pages of a few dozen, so that a change in one
// row repaints its page rather than every row. A page places its rows itself, without a
// QLayout: a row whose size stays the same lays out nothing but itself.
class RowPages : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RowPages)

public:
    static constexpr size_t rowsPerPage = 32;

    explicit RowPages(QWidget *parent = nullptr);

    // The page that holds the row at `index`, where a new row for that place is made.
    QWidget *pageFor(size_t index);
    // Puts the rows from `from` on in their places, in this order, and drops pages left empty.
    // The rows before `from` are in their places already.
    void place(const std::vector<TunnelRow *> &rows, size_t from);

    // The rows in their order, across the pages.
    std::vector<TunnelRow *> rows() const;
    size_t rowCount() const;

private:
    QVBoxLayout *m_layout;
};

} // namespace Velumo
