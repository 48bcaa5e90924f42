// The menu-bar glyphs as drawn, pixel by pixel, and the symbols of the windows.
#include "Tandalo/ui/MenuBarImages.h"
#include "Tandalo/ui/Symbols.h"

#include <QIcon>
#include <QImageReader>
#include <QPainter>

#include <gtest/gtest.h>

#include <cmath>

namespace tandalo::ui {
namespace {

using view::MenuBarIcon;

constexpr int scale = 4; // pixels per unit of the 18-unit canvas
constexpr int side = 18 * scale;

int alphaAt(const QImage& image, double x, double y) {
    return qAlpha(image.pixel(static_cast<int>(x * scale), static_cast<int>(y * scale)));
}

TEST(MenuBarImagesTests, TheBadgeChangesOnlyTheTopRightCornerOfEachGlyph) {
    // The cleared ring around the badge: a circle of 3.25 units around (15.5, 2.5), and the edge's
    // antialiasing.
    const QPointF centre(15.5 * scale, 2.5 * scale);
    const double reach = 3.25 * scale + 1.5;
    for (const auto icon : view::allMenuBarIcons) {
        const QImage plain = MenuBarImages::image(icon, false, side);
        const QImage badged = MenuBarImages::image(icon, true, side);
        int changed = 0;
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                if (plain.pixel(x, y) != badged.pixel(x, y)) {
                    ++changed;
                    EXPECT_LE(std::hypot(x + 0.5 - centre.x(), y + 0.5 - centre.y()), reach)
                        << "status " << int(icon) << " changed at " << x << "," << y;
                }
            }
        }
        EXPECT_GT(changed, 0);
        EXPECT_EQ(alphaAt(badged, 15.5, 2.5), 255) << "the badge's dot is solid";
    }
}

TEST(MenuBarImagesTests, StatusesDifferInFillBarCutOutAndOpacity) {
    const auto draw = [](MenuBarIcon icon) { return MenuBarImages::image(icon, false, side); };
    EXPECT_EQ(draw(MenuBarIcon::needsFileTransfer), draw(MenuBarIcon::failed));

    const QImage mounted = draw(MenuBarIcon::mounted);
    const QImage connected = draw(MenuBarIcon::connected);
    const QImage failed = draw(MenuBarIcon::failed);
    const QImage idle = draw(MenuBarIcon::idle);
    struct Probe {
        const char* what;
        double x, y;
        int mounted, connected, failed;
    };
    const std::vector<Probe> probes{
        {"inside the triangle", 6.5, 9.5, 255, 0, 255},
        {"the exclamation mark's stroke", 9, 6.5, 255, 0, 0},
        {"the exclamation mark's dot", 9, 9.28, 255, 0, 0},
        {"the solid bar's upper part", 9, 13.5, 255, 0, 255},
        {"the middle line of both bars", 9, 14.67, 255, 255, 255},
        {"outside the glyph", 1, 1, 0, 0, 0},
    };
    for (const auto& probe : probes) {
        EXPECT_EQ(alphaAt(mounted, probe.x, probe.y), probe.mounted) << probe.what;
        EXPECT_EQ(alphaAt(connected, probe.x, probe.y), probe.connected) << probe.what;
        EXPECT_EQ(alphaAt(failed, probe.x, probe.y), probe.failed) << probe.what;
    }
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            ASSERT_NEAR(qAlpha(idle.pixel(x, y)), qAlpha(connected.pixel(x, y)) / 2.0, 1.0)
                << "idle is the connected outline at half opacity, at " << x << "," << y;
        }
    }
}

// The theme's single-coloured icons are the drawn glyphs, pixel for pixel but for the antialiasing.
TEST(MenuBarImagesTests, EachSymbolicIconIsItsDrawnGlyph) {
    for (const auto icon : view::allMenuBarIcons) {
        const QString file = QStringLiteral(TOOLS_FOLDER "/../share/icons/hicolor/symbolic/apps/%1.svg")
                                 .arg(MenuBarImages::symbolicName(icon));
        QImageReader reader(file);
        reader.setScaledSize(QSize(side, side));
        const QImage symbolic = reader.read().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        ASSERT_FALSE(symbolic.isNull()) << file.toStdString() << ": " << reader.errorString().toStdString();
        const QImage drawn = MenuBarImages::image(icon, false, side);
        int differing = 0;
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                differing += std::abs(qAlpha(symbolic.pixel(x, y)) - qAlpha(drawn.pixel(x, y))) > 96 ? 1 : 0;
            }
        }
        EXPECT_LT(differing, side * side / 100) << file.toStdString();
    }
}

TEST(MenuBarImagesTests, TheStatusAreasGlyphFollowsTheSchemeAndStandsOutOnDarkAndLightPanels) {
    using desktop::ColorScheme;
    struct Case {
        ColorScheme scheme;
        QColor text; // the application's own text colour
        bool lightInk;
    };
    const Case cases[] = {
        {ColorScheme::preferDark, Qt::black, true},
        {ColorScheme::preferDark, Qt::white, true},
        {ColorScheme::preferLight, Qt::white, false},
        {ColorScheme::preferLight, Qt::black, false},
        {ColorScheme::noPreference, Qt::black, false},
        {ColorScheme::noPreference, QColor(0xEE, 0xEE, 0xEE), true},
    };
    const QColor panels[] = {QColor(0x1E, 0x1E, 0x1E), QColor(0x00, 0x00, 0x00), QColor(0xEF, 0xEF, 0xEF),
                             QColor(0xFF, 0xFF, 0xFF), QColor(0x3C, 0x3F, 0x41)};
    for (const auto& each : cases) {
        const auto ink = MenuBarImages::panelInk(each.scheme, each.text);
        EXPECT_EQ(ink.ink.lightnessF() > 0.5, each.lightInk)
            << int(each.scheme) << " " << each.text.name().toStdString();
        EXPECT_GT(std::abs(ink.ink.lightnessF() - ink.halo.lightnessF()), 0.7);
        // Whatever the panel, a good share of the glyph's pixels differs from it clearly.
        for (const auto icon : view::allMenuBarIcons) {
            const QImage glyph = MenuBarImages::image(icon, false, 22, ink.ink, ink.halo);
            for (const auto& panel : panels) {
                QImage shown(glyph.size(), QImage::Format_RGB32);
                shown.fill(panel);
                QPainter(&shown).drawImage(0, 0, glyph);
                int standing = 0;
                for (int y = 0; y < shown.height(); ++y) {
                    for (int x = 0; x < shown.width(); ++x) {
                        standing += std::abs(qGray(shown.pixel(x, y)) - qGray(panel.rgb())) > 60 ? 1 : 0;
                    }
                }
                EXPECT_GT(standing, 40) << "status " << int(icon) << " on " << panel.name().toStdString();
            }
        }
    }
}

TEST(MenuBarImagesTests, SymbolsComeFromTheIconThemeOrAreDrawnInTheirColour) {
    const std::vector<std::string_view> symbols{"exclamationmark.triangle.fill",
                                                "arrow.down.circle.fill",
                                                "laptopcomputer.and.iphone",
                                                "smartphone",
                                                "iphone.gen3.badge.exclamationmark",
                                                "battery.100",
                                                "battery.75",
                                                "battery.50",
                                                "battery.25",
                                                "battery.0",
                                                "folder",
                                                "eject",
                                                "ellipsis",
                                                "checkmark",
                                                "questionmark.circle",
                                                "checkmark.circle.fill",
                                                "xmark.circle.fill"};
    const QColor orange(224, 134, 0);
    const auto inked = [&](const QPixmap& pixmap) {
        const QImage image = pixmap.toImage();
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel.alpha() == 255) {
                    EXPECT_EQ(pixel.rgb(), orange.rgb());
                    ++count;
                }
            }
        }
        return count;
    };
    const QString theme = QIcon::themeName();
    const QString fallback = QIcon::fallbackThemeName();
    for (const auto symbol : symbols) {
        const QString name = Symbols::themeIconName(symbol);
        EXPECT_TRUE(name.isEmpty() || QIcon::hasThemeIcon(name))
            << symbol << " has no icon " << name.toStdString();
        EXPECT_GT(inked(Symbols::pixmap(symbol, 32, orange)), 20) << symbol;
    }
    QIcon::setThemeName(QStringLiteral("no-such-theme"));
    QIcon::setFallbackThemeName(QStringLiteral("no-such-theme"));
    for (const auto symbol : symbols) {
        EXPECT_GT(inked(Symbols::pixmap(symbol, 32, orange)), 20) << "drawn " << symbol;
    }
    QIcon::setThemeName(theme);
    QIcon::setFallbackThemeName(fallback);
    EXPECT_TRUE(Symbols::themeIconName("no.such.symbol").isEmpty());
}

} // namespace
} // namespace tandalo::ui
