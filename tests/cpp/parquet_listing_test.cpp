#include "train/parquet_listing.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace tarvex {
namespace {

TEST(ParquetListingTest, Extension) {
  struct Case {
    const char* name;
    bool parquet;
  };
  for (const Case& c : std::vector<Case>{{"a.parquet", true},
                                         {"B.PARQUET", true},
                                         {"x.y.PaRqUeT", true},
                                         {"..parquet", true},
                                         {".parquet", false},
                                         {"parquet", false},
                                         {"a.parquet.gz", false},
                                         {"a.parquet.", false},
                                         {"a.parque", false},
                                         {"a.parquets", false}})
    EXPECT_EQ(has_parquet_extension(c.name), c.parquet) << c.name;
}

TEST(ParquetListingTest, ListsRegularParquetFilesDirectlyInside) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("tarvex_listing_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "d.parquet");
  fs::create_directories(dir / "sub");
  for (const char* f : {"a.parquet", "B.PARQUET", "c.txt", "sub/e.parquet"}) std::ofstream(dir / f) << "x";
  fs::create_symlink(dir / "a.parquet", dir / "link.parquet");
  fs::create_symlink(dir / "missing", dir / "broken.parquet");

  for (std::string given : {dir.string(), dir.string() + "/"}) {
    Result<std::vector<std::string>> files = list_parquet_files(given);
    ASSERT_TRUE(files) << files.error().joined();
    std::vector<std::string> got = *files;
    std::sort(got.begin(), got.end());
    const std::string p = dir.string() + "/";
    EXPECT_EQ(got, (std::vector<std::string>{p + "B.PARQUET", p + "a.parquet", p + "link.parquet"}));
  }
  EXPECT_TRUE(is_directory(dir.string()));
  EXPECT_FALSE(is_directory((dir / "a.parquet").string()));
  EXPECT_FALSE(is_directory((dir / "nothing").string()));

  Result<std::vector<std::string>> empty = list_parquet_files((dir / "d.parquet").string());
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  Result<std::vector<std::string>> missing = list_parquet_files((dir / "nothing").string());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().joined(), "read_dir failed: No such file or directory (os error 2)");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tarvex
