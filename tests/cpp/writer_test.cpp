#include "export/writer.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "export/json_text.hpp"
#include "export/module_text.hpp"
#include "export/readme_text.hpp"

namespace tarvex {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kFiveFiles = {"README.md", "special_tokens_map.json", "tokenization_tarvex.py",
                                             "tokenizer_config.json", "vocab.json"};

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_all(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out << bytes;
}

std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "tarvex-writer-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path root_;
};

TEST_F(WriterTest, ExportedFilesByteForByte) {
  fs::path out = root_ / "tok";
  ASSERT_TRUE(write_tokenizer_dir({"b", "a", "a\xC4\xA0", "B"}, out.string()));

  EXPECT_EQ(listing(out), kFiveFiles);
  EXPECT_EQ(read_all(out / "vocab.json"),
            "{\n"
            "  \"</s>\": 3,\n"
            "  \"<mask>\": 4,\n"
            "  \"<pad>\": 1,\n"
            "  \"<s>\": 2,\n"
            "  \"<unk>\": 0,\n"
            "  \"B\": 5,\n"
            "  \"a\": 6,\n"
            "  \"a\xC4\xA0\": 7,\n"
            "  \"b\": 8\n"
            "}\n");
  EXPECT_EQ(read_all(out / "tokenizer_config.json"),
            "{\n"
            "  \"auto_map\": {\n"
            "    \"AutoTokenizer\": [\n"
            "      \"tokenization_tarvex.Tarvex\",\n"
            "      null\n"
            "    ]\n"
            "  },\n"
            "  \"bos_token\": \"<s>\",\n"
            "  \"eos_token\": \"</s>\",\n"
            "  \"mask_token\": \"<mask>\",\n"
            "  \"model_max_length\": 1000000000,\n"
            "  \"pad_token\": \"<pad>\",\n"
            "  \"tokenizer_class\": \"Tarvex\",\n"
            "  \"unk_token\": \"<unk>\"\n"
            "}\n");
  EXPECT_EQ(read_all(out / "special_tokens_map.json"),
            "{\n"
            "  \"bos_token\": \"<s>\",\n"
            "  \"eos_token\": \"</s>\",\n"
            "  \"mask_token\": \"<mask>\",\n"
            "  \"pad_token\": \"<pad>\",\n"
            "  \"unk_token\": \"<unk>\"\n"
            "}\n");
  EXPECT_EQ(read_all(out / "tokenization_tarvex.py"), std::string(tokenizer_module_text()));
  EXPECT_EQ(read_all(out / "README.md"), std::string(readme_text()));
}

TEST_F(WriterTest, ReadmeIsCrLfUsageGuide) {
  std::string readme(readme_text());
  ASSERT_FALSE(readme.empty());
  EXPECT_EQ(readme.rfind("### Tarvex Tokenizer\r\n", 0), 0u);
  EXPECT_EQ(readme.substr(readme.size() - 2), "\r\n");
  for (size_t i = 0; i < readme.size(); ++i) {
    if (readme[i] == '\n') {
      ASSERT_TRUE(i > 0 && readme[i - 1] == '\r') << "bare LF at byte " << i;
    }
    if (readme[i] == '\r') {
      ASSERT_TRUE(i + 1 < readme.size() && readme[i + 1] == '\n') << "bare CR at byte " << i;
    }
  }
  // The sections in order, each with the calls it must show.
  const std::vector<std::string> in_order = {
      "1) Install",
      "pip install tarvex-rs",
      "pip install pyarrow",
      "2) Train a vocab from your corpus (export a local tokenizer directory)",
      "`vocab.json`",
      "`tokenizer_config.json`",
      "`special_tokens_map.json`",
      "`tokenization_tarvex.py`",
      "`README.md`",
      "train_to_hf(",
      "corpus_file=\"corpus.txt\"",
      "out_dir=\"./tokenizer_out\"",
      "num_merges=50000",
      "aim_token_num=20000",
      "n_max=6",
      "num_workers=8",
      "multi_process=False",
      "train_to_hf_parquet(",
      "text_column=\"text\"",
      "max_docs=0",
      "batch_size=8192",
      "recursive=True",
      "chunk_size=4096",
      "3) Tokenize your corpus with the new vocab \xE2\x86\x92 write ids (data prep)",
      "encode_batch()",
      "BATCH = 256",
      "DpTokenizer(str(VOCAB), \"<unk>\")",
      "vocab.get(\"<s>\")",
      "vocab.get(\"</s>\")",
      "errors=\"ignore\"",
      "format=\"parquet\"",
      "batch_size=8192, use_threads=True",
      "to_batches()",
      "column(0).to_pylist()",
      "4) Load the tokenizer for training (local directory)",
      "AutoTokenizer.from_pretrained(\"./tokenizer_out\", trust_remote_code=True)",
      "assert tok._native is not None, \"native extension",
  };
  size_t at = 0;
  for (const auto& needle : in_order) {
    size_t found = readme.find(needle, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << needle;
    at = found + needle.size();
  }
}

TEST(ExportOrderTest, SpecialsFirstThenBytes) {
  struct C {
    std::vector<std::string> trained;
    std::vector<std::string> exported_after_specials;
  };
  const std::vector<C> cases = {
      {{}, {}},
      {{"<s>"}, {}},                                   // a trained special keeps its rank
      {{"<unk>", "<mask>", "x"}, {"x"}},
      {{"b", "a", "a\xC4\xA0", "B"}, {"B", "a", "a\xC4\xA0", "b"}},
      {{"x", "x", "y", "x"}, {"x", "y"}},              // duplicates collapse
      {{"\xC3\xA9", "z", "0", "ab", "a"}, {"0", "a", "ab", "z", "\xC3\xA9"}},  // bytes, unsigned
      {{"", "a"}, {"", "a"}},                          // the empty string is a token like any other
      {{"<s>x", "<s"}, {"<s", "<s>x"}},                // only exact specials are special
  };
  const std::vector<std::string> specials = {"<unk>", "<pad>", "<s>", "</s>", "<mask>"};
  for (const auto& c : cases) {
    std::vector<std::string> expected = specials;
    expected.insert(expected.end(), c.exported_after_specials.begin(), c.exported_after_specials.end());
    auto got = export_order(c.trained);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.end()), expected);
    // The trainer's order does not matter.
    std::vector<std::string> reversed(c.trained.rbegin(), c.trained.rend());
    auto again = export_order(reversed);
    EXPECT_EQ(std::vector<std::string>(again.begin(), again.end()), expected);
  }
}

TEST(JsonStringTest, Escaping) {
  struct C {
    std::string raw, json;
  };
  const std::vector<C> cases = {
      {"plain", "\"plain\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "\"a\\\\b\""},
      {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
      {std::string("\x00\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
      {"\x0b\x1b", "\"\\u000b\\u001b\""},
      {"\x7f", "\"\x7f\""},                            // DEL stays raw
      {"/", "\"/\""},
      {"a\xC4\xA0", "\"a\xC4\xA0\""},                  // END_TOKEN stays raw UTF-8
      {"\xE4\xB8\xAD\xF0\x9F\x98\x80", "\"\xE4\xB8\xAD\xF0\x9F\x98\x80\""},
      {"", "\"\""},
  };
  for (const auto& c : cases) {
    std::string out;
    append_json_string(out, c.raw);
    EXPECT_EQ(out, c.json);
  }
}

TEST_F(WriterTest, VocabEscapesTokens) {
  fs::path out = root_ / "tok";
  ASSERT_TRUE(write_tokenizer_dir({"a\tb", "\"", "\\", std::string("\x01", 1), "\xC4\xA0"}, out.string()));
  EXPECT_EQ(read_all(out / "vocab.json"),
            "{\n"
            "  \"\\u0001\": 5,\n"
            "  \"\\\"\": 6,\n"
            "  \"</s>\": 3,\n"
            "  \"<mask>\": 4,\n"
            "  \"<pad>\": 1,\n"
            "  \"<s>\": 2,\n"
            "  \"<unk>\": 0,\n"
            "  \"\\\\\": 7,\n"
            "  \"a\\tb\": 8,\n"
            "  \"\xC4\xA0\": 9\n"
            "}\n");
}

TEST_F(WriterTest, NestedDirCreatedAndReexportKeepsOtherFiles) {
  fs::path out = root_ / "a" / "b" / "c";
  ASSERT_TRUE(write_tokenizer_dir({"x"}, out.string() + "/"));
  write_all(out / "notes.txt", "mine");
  write_all(out / "vocab.json", "stale");
  ASSERT_TRUE(write_tokenizer_dir({"y"}, out.string()));

  std::vector<std::string> expected = kFiveFiles;
  expected.push_back("notes.txt");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listing(out), expected);  // no staging left behind either
  EXPECT_EQ(read_all(out / "notes.txt"), "mine");
  EXPECT_NE(read_all(out / "vocab.json").find("\"y\": 5"), std::string::npos);
}

TEST_F(WriterTest, RelativeOutDirIsUnderWorkingDirectory) {
  fs::path saved = fs::current_path();
  fs::current_path(root_);
  Status st = write_tokenizer_dir({"x"}, "rel/tok");
  fs::current_path(saved);
  ASSERT_TRUE(st);
  EXPECT_EQ(listing(root_ / "rel" / "tok"), kFiveFiles);
}

TEST_F(WriterTest, UnusableOutDirFailsAndWritesNothing) {
  write_all(root_ / "file", "content");
  struct C {
    std::string out_dir;
    std::string os_text;  // how the chain must end
  };
  const std::vector<C> cases = {
      {(root_ / "file").string(), "(os error 17)"},        // names a regular file
      {(root_ / "file" / "sub").string(), "(os error 20)"},  // a parent is a regular file
  };
  for (const auto& c : cases) {
    Status st = write_tokenizer_dir({"x"}, c.out_dir);
    ASSERT_FALSE(st) << c.out_dir;
    const auto& chain = st.error().chain();
    ASSERT_GE(chain.size(), 2u);
    EXPECT_NE(chain.front().find(c.out_dir), std::string::npos) << st.error().joined();
    EXPECT_TRUE(chain.back().ends_with(c.os_text)) << st.error().joined();
  }
  EXPECT_EQ(read_all(root_ / "file"), "content");
  EXPECT_EQ(listing(root_), std::vector<std::string>{"file"});
}

TEST_F(WriterTest, BadArgumentsAreErrors) {
  EXPECT_FALSE(write_tokenizer_dir({"x"}, ""));
  fs::path out = root_ / "tok";
  Status st = write_tokenizer_dir({"ok", "\xC4"}, out.string());  // truncated UTF-8
  ASSERT_FALSE(st);
  EXPECT_NE(st.error().joined().find("not valid UTF-8"), std::string::npos);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(WriterTest, FailedWriteLeavesNoCompleteLookingDirectory) {
  // README.md cannot be replaced (a non-empty directory holds the name), so
  // the export fails after staging every file; vocab.json must not appear
  // and nothing of the staging may stay behind.
  fs::path out = root_ / "tok";
  fs::create_directories(out / "README.md" / "inner");
  Status st = write_tokenizer_dir({"x"}, out.string());
  ASSERT_FALSE(st);
  EXPECT_NE(st.error().chain().front().find("README.md"), std::string::npos) << st.error().joined();
  EXPECT_FALSE(fs::exists(out / "vocab.json"));
  for (const auto& name : listing(out)) EXPECT_EQ(name.find(".tarvex-export"), std::string::npos) << name;
}

}  // namespace
}  // namespace tarvex
