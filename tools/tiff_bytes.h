// Little-endian TIFF directory builder: every byte of a directory and of its out-of-line values is
// placed by us, so that the raw band layouts can put pixels, maker bytes and XMP at fixed offsets.
#pragma once

#include <QByteArray>
#include <QVector>
#include <map>

namespace reflsample {

enum TiffType : quint16 {
    kByte = 1,
    kAscii = 2,
    kShort = 3,
    kLong = 4,
    kRational = 5,
    kUndefined = 7,
};

void putU16(QByteArray& b, int pos, quint16 v);
void putU32(QByteArray& b, int pos, quint32 v);
void appendU16(QByteArray& b, quint16 v);
void appendU32(QByteArray& b, quint32 v);
quint16 getU16(const QByteArray& b, int pos);
quint32 getU32(const QByteArray& b, int pos);

/// One image file directory. Entries are kept sorted by tag; values longer than four bytes go into a
/// data area written right after the directory.
class IfdBuilder {
public:
    void addShort(quint16 tag, quint16 v);
    void addShorts(quint16 tag, const QVector<quint16>& v);
    void addLong(quint16 tag, quint32 v);
    void addAscii(quint16 tag, const QByteArray& text);  ///< a terminating zero is added
    void addRational(quint16 tag, quint32 num, quint32 den);
    void addRationals(quint16 tag, const QVector<quint32>& numDenPairs);
    void addBytes(quint16 tag, quint16 type, const QByteArray& bytes);  ///< BYTE or UNDEFINED
    /// An entry whose value is an offset outside this directory (StripOffsets, XMP, sub-IFDs).
    void addExternal(quint16 tag, quint16 type, quint32 count, quint32 offset);
    void setLongValue(quint16 tag, quint32 v);  ///< patches an existing LONG / external entry

    /// Bytes of the directory plus its data area.
    int byteSize() const;
    /// The directory placed at file offset `offset` (must be even), followed by its data area.
    QByteArray serialise(quint32 offset, quint32 nextIfd = 0) const;

private:
    struct Entry {
        quint16 type = 0;
        quint32 count = 0;
        QByteArray data;        ///< the value bytes (inline when <= 4)
        bool external = false;  ///< value field is an offset given by the caller
        quint32 offset = 0;
    };
    std::map<quint16, Entry> entries_;
};

}  // namespace reflsample
