// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/MessageHead.h"

#include <algorithm>

namespace Velumo {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

qsizetype MessageHead::lastIndexOf(QByteArrayView name) const
{
    for (qsizetype i = fieldCount() - 1; i >= 0; --i) {
        if (this->name(i).compare(name, Qt::CaseInsensitive) == 0) {
            return i;
        }
    }
    return -1;
}

void MessageHead::appendToList(QByteArrayView name, QByteArrayView item)
{
    m_listName = name.toByteArray();
    m_listItem = item.toByteArray();
    m_listIndex = lastIndexOf(name);
}

void MessageHead::setValue(qsizetype i, QByteArray value)
{
    Field &field = m_fields[size_t(i)];
    field.replaced = true;
    field.replacement = std::move(value);
}

void MessageHead::setTarget(QByteArray target)
{
    m_targetReplaced = true;
    m_newTarget = std::move(target);
}

bool MessageHead::isEdited() const
{
    return !m_listItem.isEmpty() || m_targetReplaced || !m_added.isEmpty() ||
           std::any_of(m_fields.begin(), m_fields.end(),
                       [](const Field &f) { return f.removed || f.replaced; });
}

QByteArray MessageHead::forwarded() const
{
    if (!isEdited()) {
        return m_block.toByteArray();
    }
    QByteArray out;
    out.reserve(m_block.size() + m_listName.size() + m_listItem.size() + m_newTarget.size() +
                m_added.size() + 8);
    qsizetype from = 0;
    // Copies the block up to `at`, then `with` in place of the next `size` bytes.
    const auto splice = [&](qsizetype at, qsizetype size, QByteArrayView with) {
        out += m_block.sliced(from, at - from);
        out += with;
        from = at + size;
    };
    if (m_targetReplaced) {
        splice(m_target.offset, m_target.size, m_newTarget);
    }
    for (size_t i = 0; i < m_fields.size(); ++i) {
        const Field &field = m_fields[i];
        if (field.removed) {
            splice(field.line.offset, field.line.size, {});
            continue;
        }
        if (field.replaced) {
            splice(field.value.offset, field.value.size, field.replacement);
        }
        if (qsizetype(i) == m_listIndex) {
            const bool empty = field.replaced ? field.replacement.isEmpty() : field.value.size == 0;
            splice(field.value.offset + field.value.size, 0, empty ? "" : ", ");
            out += m_listItem;
        }
    }
    // The blank line that ends the head is its last two bytes.
    splice(m_block.size() - 2, 0, {});
    if (!m_listItem.isEmpty() && m_listIndex < 0) {
        out += m_listName;
        out += ": ";
        out += m_listItem;
        out += "\r\n";
    }
    out += m_added;
    out += "\r\n";
    return out;
}

void MessageHead::finish(QByteArrayView block)
{
    m_block = block;
    const qsizetype end = block.size() - 2;
    for (size_t i = 0; i < m_fields.size(); ++i) {
        Field &field = m_fields[i];
        const qsizetype next = i + 1 < m_fields.size() ? m_fields[i + 1].name.offset : end;
        field.line = {field.name.offset, next - field.name.offset};
        qsizetype first = field.name.offset + field.name.size + 1; // past the colon
        qsizetype last = next;
        while (first < last && isBlank(block[first])) {
            ++first;
        }
        while (last > first && isBlank(block[last - 1])) {
            --last;
        }
        field.value = {first, last - first};
    }
}

void MessageHead::clear()
{
    m_block = {};
    m_version = m_status = 0;
    m_method = m_target = m_reason = {};
    m_fields.clear();
    m_targetReplaced = false;
    m_newTarget.clear();
    m_listName.clear();
    m_listItem.clear();
    m_listIndex = -1;
    m_added.clear();
}

void MessageHead::addField(QByteArrayView name, QByteArrayView value)
{
    m_added += name;
    m_added += ": ";
    m_added += value;
    m_added += "\r\n";
}

} // namespace Velumo
