// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

namespace Velumo {

// The head of one HTTP/1.1 message as it arrived: its start line and header fields, names in
// their own case and order. It points into the bytes it was read from, so it is only valid
// while those are (for the gate and the capture hooks, the call that hands it over).
// Edits are kept beside the bytes, and forwarded() splices them in: every byte not edited
// goes on unchanged.
class MessageHead
{
public:
    struct Span {
        qsizetype offset = 0;
        qsizetype size = 0;
    };

    bool isRequest() const { return m_request; }
    QByteArrayView block() const { return m_block; }
    int version() const { return m_version; } // 11 for HTTP/1.1
    QByteArrayView method() const { return slice(m_method); }
    QByteArrayView target() const { return slice(m_target); }
    int status() const { return m_status; }
    QByteArrayView reason() const { return slice(m_reason); }

    qsizetype fieldCount() const { return qsizetype(m_fields.size()); }
    QByteArrayView name(qsizetype i) const { return slice(m_fields[size_t(i)].name); }
    // The value without the whitespace around it; a folded value keeps its inner line breaks.
    QByteArrayView value(qsizetype i) const { return slice(m_fields[size_t(i)].value); }
    // The last field with this name (any case), or -1.
    qsizetype lastIndexOf(QByteArrayView name) const;

    // Drops a field from what is forwarded (the proxy's own credentials, say).
    void removeField(qsizetype i) { m_fields[size_t(i)].removed = true; }
    // Forwards another value in place of a field's (trimmed) value, or another request target.
    // The caller keeps CR and LF out of both.
    void setValue(qsizetype i, QByteArray value);
    void setTarget(QByteArray target);
    // Adds an item to a comma-separated list field: to the last field of that name, as a
    // proxy appends to X-Forwarded-For, or as a new last field.
    void appendToList(QByteArrayView name, QByteArrayView item);
    // Adds a field after every other. The caller keeps CR and LF out of both.
    void addField(QByteArrayView name, QByteArrayView value);
    bool isEdited() const;
    // The block with the edits applied; the block itself when there are none.
    QByteArray forwarded() const;

private:
    template <bool> friend class HttpFramer;

    struct Field {
        Span line; // from the name to the CRLF that ends the field
        Span name;
        Span value;
        bool removed = false;
        bool replaced = false;
        QByteArray replacement;
    };

    QByteArrayView slice(Span span) const { return m_block.sliced(span.offset, span.size); }
    // Called once the whole block is known, with the names' offsets: finds lines and values.
    void finish(QByteArrayView block);
    void clear();

    bool m_request = true;
    QByteArrayView m_block;
    int m_version = 0;
    int m_status = 0;
    Span m_method;
    Span m_target;
    Span m_reason;
    std::vector<Field> m_fields;
    bool m_targetReplaced = false;
    QByteArray m_newTarget;
    // An item to add to the field at m_listIndex, or after the last field when that is -1.
    QByteArray m_listName;
    QByteArray m_listItem;
    qsizetype m_listIndex = -1;
    QByteArray m_added; // whole lines
};

} // namespace Velumo
