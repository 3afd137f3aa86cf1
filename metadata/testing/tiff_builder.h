#pragma once

// Hand-made little TIFF files for reader tests: entries exactly as given, blocks at exact offsets.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstdint>
#include <vector>

class TiffBuilder {
public:
    // An entry whose value field is written as given (an inline value or an offset).
    TiffBuilder& raw(uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        m_entries.push_back({tag, type, count, value, {}});
        return *this;
    }
    TiffBuilder& shortValue(uint16_t tag, uint16_t v) { return raw(tag, 3, 1, v); }
    TiffBuilder& longValue(uint16_t tag, uint32_t v) { return raw(tag, 4, 1, v); }
    // ASCII text stored after the directory.
    TiffBuilder& ascii(uint16_t tag, const QByteArray& text) {
        QByteArray data = text;
        data.append('\0');
        m_entries.push_back({tag, 2, static_cast<uint32_t>(data.size()), 0, data});
        return *this;
    }
    // Bytes (the XMP packet, tag 700) at an exact offset.
    TiffBuilder& bytesAt(uint16_t tag, uint16_t type, uint32_t offset, const QByteArray& data) {
        place(offset, data);
        return raw(tag, type, static_cast<uint32_t>(data.size()), offset);
    }
    // A block with no entry of its own (pixels, maker bytes).
    TiffBuilder& place(uint32_t offset, const QByteArray& data) {
        m_blocks.push_back({offset, data});
        return *this;
    }
    TiffBuilder& byteOrder(const char* marker) {
        m_marker = marker;
        return *this;
    }
    TiffBuilder& directoryAt(uint32_t offset) {
        m_directory = offset;
        return *this;
    }
    // Overrides the entry count written into the directory.
    TiffBuilder& claimedEntryCount(uint16_t count) {
        m_claimedCount = count;
        m_hasClaimedCount = true;
        return *this;
    }

    QByteArray build() const {
        QByteArray out(8, '\0');
        out[0] = m_marker[0];
        out[1] = m_marker[1];
        put16(out, 2, 42);
        put32(out, 4, m_directory);
        const uint32_t dirSize = 2 + 12 * static_cast<uint32_t>(m_entries.size()) + 4;
        uint32_t extra = m_directory + dirSize;
        ensure(out, extra);
        put16(out, m_directory, m_hasClaimedCount ? m_claimedCount : static_cast<uint16_t>(m_entries.size()));
        for (size_t i = 0; i < m_entries.size(); ++i) {
            const Entry& e = m_entries[i];
            const uint32_t at = m_directory + 2 + 12 * static_cast<uint32_t>(i);
            uint32_t value = e.value;
            if (!e.data.isEmpty()) {
                if (e.data.size() <= 4) {
                    value = 0;
                    for (int b = 0; b < e.data.size(); ++b) value |= uint32_t(uint8_t(e.data[b])) << (8 * b);
                } else {
                    value = extra;
                    ensure(out, extra + e.data.size());
                    out.replace(static_cast<int>(extra), e.data.size(), e.data);
                    extra += static_cast<uint32_t>(e.data.size());
                }
            }
            put16(out, at, e.tag);
            put16(out, at + 2, e.type);
            put32(out, at + 4, e.count);
            put32(out, at + 8, value);
        }
        for (const Block& b : m_blocks) {
            ensure(out, b.offset + b.data.size());
            out.replace(static_cast<int>(b.offset), b.data.size(), b.data);
        }
        return out;
    }

    bool write(const QString& path) const { return writeBytes(path, build()); }

    static bool writeBytes(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }

    // Little-endian 16-bit pixels of a ramp, width x height.
    static QByteArray rampPixels(int width, int height, uint16_t start = 100) {
        QByteArray p(width * height * 2, '\0');
        for (int i = 0; i < width * height; ++i) {
            const uint16_t v = static_cast<uint16_t>(start + i);
            p[2 * i] = char(v & 0xFF);
            p[2 * i + 1] = char(v >> 8);
        }
        return p;
    }

private:
    struct Entry {
        uint16_t tag, type;
        uint32_t count, value;
        QByteArray data;
    };
    struct Block {
        uint32_t offset;
        QByteArray data;
    };
    static void ensure(QByteArray& out, uint32_t size) {
        if (static_cast<uint32_t>(out.size()) < size) out.append(QByteArray(static_cast<int>(size - out.size()), '\0'));
    }
    static void put16(QByteArray& out, uint32_t at, uint16_t v) {
        out[at] = char(v & 0xFF);
        out[at + 1] = char(v >> 8);
    }
    static void put32(QByteArray& out, uint32_t at, uint32_t v) {
        for (int b = 0; b < 4; ++b) out[at + b] = char((v >> (8 * b)) & 0xFF);
    }

    std::vector<Entry> m_entries;
    std::vector<Block> m_blocks;
    const char* m_marker = "II";
    uint32_t m_directory = 8;
    uint16_t m_claimedCount = 0;
    bool m_hasClaimedCount = false;
};
