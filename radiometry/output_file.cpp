#include "output_file.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>
#include <cstring>

namespace refl {

bool sameFile(const QString& a, const QString& b) {
    const QFileInfo fa(a), fb(b);
    if (fa.absoluteFilePath() == fb.absoluteFilePath()) return true;
    const QString ca = fa.canonicalFilePath(), cb = fb.canonicalFilePath();
    return !ca.isEmpty() && ca == cb;
}

bool writeConvertedCopy(const QString& inputPath, const QString& outputPath, uint64_t pixelOffset,
                        const uint16_t* pixels, uint64_t byteCount) {
    if (sameFile(inputPath, outputPath)) {
        qDebug() << "writeConvertedCopy: output would overwrite the raw image, refused:" << outputPath;
        return false;
    }
    QFile input(inputPath);
    if (!input.open(QIODevice::ReadOnly)) {
        qDebug() << "open file error" << inputPath;
        return false;
    }
    QByteArray bytes = input.readAll();
    input.close();
    const uint64_t size = static_cast<uint64_t>(bytes.size());
    if (pixelOffset > size || byteCount > size - pixelOffset) {
        qDebug() << "writeConvertedCopy: pixel block of" << byteCount << "bytes at" << pixelOffset
                 << "does not lie inside" << inputPath << "(" << size << "bytes); nothing written";
        return false;
    }
    char* block = bytes.data() + pixelOffset;
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    std::memcpy(block, pixels, static_cast<size_t>(byteCount));
#else
    for (uint64_t i = 0; i < byteCount / 2; ++i) {
        block[2 * i] = char(pixels[i] & 0xFF);
        block[2 * i + 1] = char(pixels[i] >> 8);
    }
#endif
    QSaveFile output(outputPath);
    if (!output.open(QIODevice::WriteOnly)) {
        qDebug() << "open file error" << outputPath;
        return false;
    }
    if (output.write(bytes) != bytes.size() || !output.commit()) {
        qDebug() << "writeConvertedCopy: writing failed, nothing left under" << outputPath << ":"
                 << output.errorString();
        return false;
    }
    return true;
}

bool replaceFile(const QString& temporary, const QString& target) {
#ifdef Q_OS_WIN
    QFile::remove(target);
    return QFile::rename(temporary, target);
#else
    return std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(target).constData()) == 0;
#endif
}

}  // namespace refl
