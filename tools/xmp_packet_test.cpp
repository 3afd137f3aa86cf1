#include "xmp_packet.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <exiv2/exiv2.hpp>

using namespace reflsample;

namespace {

XmpContent content(XmpLayout layout) {
    XmpContent c;
    c.layout = layout;
    c.serial = "CW2401D0098";
    c.a0 = 0.93;
    c.c1 = 24512.5;
    c.c2 = 731.25;
    c.centreX = 641.5;
    c.centreY = 480.25;
    const double k[6] = {-1.5e-5, 6.5e-7, 3.2e-11, 1.4e-13, -5e-18, 8e-21};
    for (int i = 0; i < 6; ++i) c.k[i] = k[i];
    c.exposureTime = 0.00147;
    c.gain = 2;
    return c;
}

/// Text between the first `open` and the first `close` after it, the way the raw-text readers search.
QString between(const QString& text, const QString& open, const QString& close, int from = 0) {
    const int a = text.indexOf(open, from);
    if (a < 0) return QString();
    const int b = text.indexOf(close, a + open.size());
    return b < 0 ? QString() : text.mid(a + open.size(), b - a - open.size());
}

/// First rdf:li of the element found by the compact reader's name search.
QString firstItem(const QString& text, const QString& name) {
    const QString element = between(text, name, "/" + name);
    return between(element, "<rdf:li>", "</rdf:li>");
}

Exiv2::XmpData parse(const QByteArray& packet) {
    Exiv2::XmpData xmp;
    EXPECT_EQ(Exiv2::XmpParser::decode(xmp, packet.toStdString()), 0);
    return xmp;
}

}  // namespace

TEST(XmpPacket, CompactItemsReadBackByFirstOccurrence) {
    const QString t = QString::fromUtf8(buildXmpPacket(content(XmpLayout::Compact)));
    const QStringList cal = between(t, "QuorVin:RadiometricCalibration>", "</QuorVin:RadiometricCalibration>")
                                .section("<rdf:li>", 1)
                                .section("</rdf:li>", 0, 0)
                                .split(',');
    ASSERT_EQ(cal.size(), 3);  // a fourth number would spoil c2
    EXPECT_DOUBLE_EQ(cal[0].toDouble(), 0.93);
    EXPECT_DOUBLE_EQ(cal[2].toDouble(), 731.25);
    EXPECT_EQ(firstItem(t, "Camera:VignettingCenter"), "641.5,480.25");
    EXPECT_EQ(firstItem(t, "Camera:VignettingPolynomial").split(',').size(), 6);
    // The "_NM" polynomial is there and starts with 0, which keeps the readers off the keyed layout.
    EXPECT_EQ(firstItem(t, "Camera:VignettingPolynomial_NM").split(',').first(), "0");
    EXPECT_EQ(between(t, "Camera:IrradianceExposureTime>", "</Camera:IrradianceExposureTime>"), "0.00147");
    EXPECT_EQ(between(t, "Camera:IrradianceGain>", "</Camera:IrradianceGain>"), "2");
    EXPECT_LT(t.toUtf8().size(), 5000);
}

TEST(XmpPacket, KeyedPolynomialStartsWithOneAndPlainElementsComeFirst) {
    const QString t = QString::fromUtf8(buildXmpPacket(content(XmpLayout::Keyed)));
    EXPECT_LT(t.indexOf("Camera:VignettingPolynomial>"), t.indexOf("Camera:VignettingPolynomial_NM"));
    EXPECT_LT(t.indexOf("Camera:VignettingCenter>"), t.indexOf("Camera:VignettingCenter_NM"));
    const QStringList nm = firstItem(t, "Camera:VignettingPolynomial_NM").split(',');
    ASSERT_EQ(nm.size(), 7);
    EXPECT_EQ(nm[0], "1");
    EXPECT_DOUBLE_EQ(nm[1].toDouble(), -1.5e-5);
    // The compact items are present too (the panel step reads them before the keys).
    EXPECT_EQ(firstItem(t, "QuorVin:RadiometricCalibration").split(',').size(), 3);
}

TEST(XmpPacket, PerItemLayoutHasOneNumberPerLineFromTheThirdLine) {
    const QString t = QString::fromUtf8(buildXmpPacket(content(XmpLayout::PerItem)));
    const QString body = between(t, "QuorVin:RadiometricCalibration>", "</QuorVin:RadiometricCalibration>");
    const QStringList lines = body.split('\n');
    ASSERT_GE(lines.size(), 5);
    EXPECT_TRUE(lines[0].trimmed().isEmpty());
    EXPECT_EQ(lines[1].trimmed(), "<rdf:Seq>");
    EXPECT_EQ(lines[2].trimmed(), "<rdf:li>0.93</rdf:li>");
    EXPECT_EQ(lines[3].trimmed(), "<rdf:li>24512.5</rdf:li>");
    EXPECT_EQ(lines[4].trimmed(), "<rdf:li>731.25</rdf:li>");
    EXPECT_EQ(between(t, "Camera:IrradianceGain>", "</Camera:IrradianceGain>"), "2");  // an integer
    EXPECT_EQ(t.indexOf("_NM"), -1);
}

TEST(XmpPacket, Exiv2ReadsTheKeyedLayoutUnderTheMakersNamespace) {
    XmpContent c = content(XmpLayout::Keyed);
    Exiv2::XmpData xmp = parse(buildXmpPacket(c));
    EXPECT_EQ(xmp["Xmp.Quorvin.RadiometricCalibration_NM"].toString(), "0.93,24512.5,731.25");
    EXPECT_EQ(xmp["Xmp.Camera.VignettingCenter_NM"].toString(), "641.5,480.25");
    EXPECT_EQ(xmp["Xmp.Camera.IrradianceExposureTime"].toString(), "0.00147");
    EXPECT_EQ(xmp["Xmp.Camera.STDIrradianceExposureTime"].toString(), "0.001");
    EXPECT_EQ(xmp["Xmp.Camera.Serial"].toString(), "CW2401D0098");

    c.make = "Tavren";
    Exiv2::XmpData other = parse(buildXmpPacket(c));
    EXPECT_EQ(other["Xmp.TAVREN.RadiometricCalibration_NM"].toString(), "0.93,24512.5,731.25");
}

TEST(XmpPacket, LensKeysAreCommaTextInTheFileOrder) {
    XmpContent c = content(XmpLayout::Compact);
    c.focalMm = 5.18;
    c.principalXMm = 2.4;
    c.principalYMm = 1.81;
    c.k1 = -0.11;
    c.k2 = 0.09;
    c.k3 = 0.01;
    c.p1 = -1e-4;
    c.p2 = 3e-4;
    Exiv2::XmpData xmp = parse(buildXmpPacket(c));
    EXPECT_EQ(xmp["Xmp.Camera.PerspectiveFocalLength"].toString(), "5.18");
    EXPECT_EQ(xmp["Xmp.Camera.PrincipalPoint"].toString(), "2.4,1.81");
    EXPECT_EQ(xmp["Xmp.Camera.PerspectiveDistortion"].toString(), "-0.11,0.09,0.01,-0.0001,0.0003");
}
