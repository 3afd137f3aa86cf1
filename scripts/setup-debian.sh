#!/bin/sh
# Installs every Debian package this project needs to build, test and run.
# Run as root on Debian 12; safe to run again.
set -eu

if [ "$(id -u)" -ne 0 ]; then
    echo "setup-debian.sh: run me as root" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive

# 32-bit Wine runs the tests of the progress-window DLL. Where the kernel cannot run 32-bit programs
# (some virtual machines), 64-bit Wine runs the same test on a 64-bit build of the DLL.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi

apt-get update

apt-get install -y --no-install-recommends \
    build-essential cmake ninja-build pkg-config \
    qtbase5-dev qtbase5-dev-tools libqt5svg5-dev \
    libopencv-dev \
    libgdal-dev gdal-bin \
    libtiff-dev libtiff-tools \
    libexiv2-dev exiv2 \
    libzbar-dev zbar-tools \
    libqrencode-dev \
    libgtest-dev libgmock-dev googletest \
    libbenchmark-dev \
    libeigen3-dev \
    libfftw3-dev \
    xvfb xauth imagemagick x11-utils \
    libimage-exiftool-perl \
    fonts-wqy-microhei fonts-noto-cjk \
    python3-numpy python3-scipy python3-gdal \
    chromium \
    dpkg-dev lintian clang-format \
    g++-mingw-w64-i686 binutils-mingw-w64-i686 \
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
    wine wine32:i386 wine64 \
    slurm-wlm munge parallel time

echo "setup-debian.sh: all packages installed"
