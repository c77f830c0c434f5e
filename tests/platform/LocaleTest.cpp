// The kilometre readout takes the user's decimal separator from the
// environment, whatever the C library's own locale says.
#include "core/Odometer.h"
#include "platform/QtServices.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

namespace {

TEST(Locale, AGermanUserSeesADecimalComma)
{
    dovo::QtServices services;
    ASSERT_EQ(services.DecimalSeparator(), ",");
    const auto texts = dovo::Readouts(0, 250, services.DecimalSeparator());
    EXPECT_EQ(texts.kilometres, "2,5 km");
    EXPECT_EQ(texts.centimetres, "250000 cm");
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("LC_ALL", "de_DE.UTF-8");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
