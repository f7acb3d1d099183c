// Reading the quality-statistics side data of encoded packets.
#include <gtest/gtest.h>

#include <vector>

#include "engine/video/QualityStats.h"

namespace vexav {
namespace {

std::vector<uint8_t> Record(int32_t Quality, uint8_t Type, std::vector<uint64_t> Errors,
                            int CountField = -1) {
  std::vector<uint8_t> R(8 + 8 * Errors.size(), 0);
  for (int I = 0; I < 4; ++I)
    R[static_cast<size_t>(I)] = static_cast<uint8_t>(static_cast<uint32_t>(Quality) >> (8 * I));
  R[4] = Type;
  R[5] = static_cast<uint8_t>(CountField < 0 ? static_cast<int>(Errors.size()) : CountField);
  for (size_t E = 0; E < Errors.size(); ++E)
    for (int I = 0; I < 8; ++I)
      R[8 + 8 * E + static_cast<size_t>(I)] = static_cast<uint8_t>(Errors[E] >> (8 * I));
  return R;
}

TEST(QualityStats, ReadsQualityTypeAndErrors) {
  const auto R = Record(365, 3, {1000, 0x0102030405060708ULL, 7, 9});
  TCodedPictureStats S;
  ASSERT_TRUE(ParseQualityStats(R.data(), R.size(), S));
  EXPECT_TRUE(S.Valid);
  EXPECT_EQ(S.Quality, 365);
  EXPECT_NEAR(S.Quality / QP2LAMBDA, 3.1, 0.01);
  EXPECT_EQ(S.PictType, 3);
  EXPECT_EQ(S.ErrorCount, 4);
  EXPECT_EQ(S.Error[0], 1000u);
  EXPECT_EQ(S.Error[1], 0x0102030405060708ULL);
  EXPECT_EQ(S.Error[3], 9u);
}

TEST(QualityStats, RecordWithoutErrors) {
  const auto R = Record(590, 1, {});
  TCodedPictureStats S;
  ASSERT_TRUE(ParseQualityStats(R.data(), R.size(), S));
  EXPECT_EQ(S.Quality, 590);
  EXPECT_EQ(S.PictType, 1);
  EXPECT_EQ(S.ErrorCount, 0);
}

TEST(QualityStats, ErrorCountLimitedToWhatFits) {
  // Claims 4 errors but carries 2.
  const auto R = Record(100, 2, {5, 6}, 4);
  TCodedPictureStats S;
  ASSERT_TRUE(ParseQualityStats(R.data(), R.size(), S));
  EXPECT_EQ(S.ErrorCount, 2);
  EXPECT_EQ(S.Error[1], 6u);
  EXPECT_EQ(S.Error[2], 0u);
}

TEST(QualityStats, ShortOrMissingRecordLeavesStatsAlone) {
  TCodedPictureStats S;
  S.Quality = 42;
  const uint8_t Short[7] = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_FALSE(ParseQualityStats(Short, sizeof(Short), S));
  EXPECT_FALSE(ParseQualityStats(nullptr, 40, S));
  EXPECT_EQ(S.Quality, 42);
  EXPECT_FALSE(S.Valid);
}

}  // namespace
}  // namespace vexav
