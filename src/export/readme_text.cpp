#include "export/readme_text.hpp"

#include <string>

namespace tarvex {

namespace {

// Kept with LF line ends here so that the source stays readable; the file
// is written with CR LF, like the module text.
constexpr std::string_view kReadmeLf = R"readme(
### Tarvex Tokenizer

A subword tokenizer whose vocabulary is trained to use as few tokens per character of
your corpus as possible. Text is split into words at white space, every word is followed
by the end-of-word marker `Ġ`, and encoding picks the segmentation with the fewest
vocabulary tokens (dynamic programming over a token trie).

This directory was written by `tarvex_rs` and can be loaded with Hugging Face
`transformers` (remote code) or encoded directly with the native `DpTokenizer`.

---

#### 1) Install

```bash
pip install tarvex-rs
```

For parquet corpora or streaming reads, also install `pyarrow`:

```bash
pip install pyarrow
```

---

#### 2) Train a vocab from your corpus (export a local tokenizer directory)

Training writes a tokenizer directory with these files:

- `vocab.json`: token to id map (the five special tokens hold ids 0 to 4)
- `tokenizer_config.json`: loader configuration for `AutoTokenizer`
- `special_tokens_map.json`: roles of the special tokens
- `tokenization_tarvex.py`: the remote-code tokenizer class `Tarvex`
- `README.md`: this guide

##### 2.1 Text corpus (one sentence per line)

```python
from tarvex_rs import train_to_hf

train_to_hf(
    corpus_file="corpus.txt",
    out_dir="./tokenizer_out",
    num_merges=50000,
    aim_token_num=20000,
    n_max=6,
    num_workers=8,
    multi_process=False,
)
```

##### 2.2 Parquet corpus (streaming read)

```python
from tarvex_rs import train_to_hf_parquet

train_to_hf_parquet(
    parquet_path="./data/parquet",
    out_dir="./tokenizer_out",
    text_column="text",
    max_docs=0,          # 0 = read every document
    batch_size=8192,
    recursive=True,
    num_merges=50000,
    aim_token_num=20000,
    n_max=6,
    num_workers=8,
    multi_process=False,
    chunk_size=4096,
)
```

---

#### 3) Tokenize your corpus with the new vocab → write ids (data prep)

The examples below write one sample per line as space-separated token ids, with the
optional BOS and EOS ids around each sample. They use the native
`DpTokenizer.encode_batch()`, which encodes a whole batch in parallel without holding
the interpreter lock, for throughput.

##### 3.1 Text file → ids

```python
import json
from pathlib import Path

from tarvex_rs import DpTokenizer

TOK_DIR = Path("./tokenizer_out")
VOCAB = TOK_DIR / "vocab.json"
SRC = Path("corpus.txt")
DST = Path("corpus.ids.txt")
BATCH = 256

tok = DpTokenizer(str(VOCAB), "<unk>")
vocab = json.loads(VOCAB.read_text(encoding="utf-8"))
bos_id = vocab.get("<s>")
eos_id = vocab.get("</s>")


def write_batch(out, texts):
    for ids in tok.encode_batch(texts):
        seq = ([bos_id] if bos_id is not None else []) + ids
        if eos_id is not None:
            seq.append(eos_id)
        out.write(" ".join(map(str, seq)) + "\n")


with SRC.open("r", encoding="utf-8", errors="ignore") as src, DST.open("w", encoding="utf-8") as out:
    batch = []
    for line in src:
        text = line.strip()
        if not text:
            continue
        batch.append(text)
        if len(batch) >= BATCH:
            write_batch(out, batch)
            batch = []
    if batch:
        write_batch(out, batch)
```

##### 3.2 Parquet dataset → ids

```python
import pyarrow.dataset as ds

# tok, bos_id, eos_id, BATCH and write_batch as in 3.1
dataset = ds.dataset("./data/parquet", format="parquet")
scanner = dataset.scanner(columns=["text"], batch_size=8192, use_threads=True)

with Path("parquet.ids.txt").open("w", encoding="utf-8") as out:
    batch = []
    for record_batch in scanner.to_batches():
        for text in record_batch.column(0).to_pylist():
            if not text or not text.strip():
                continue
            batch.append(text)
            if len(batch) >= BATCH:
                write_batch(out, batch)
                batch = []
    if batch:
        write_batch(out, batch)
```

---

#### 4) Load the tokenizer for training (local directory)

```python
from transformers import AutoTokenizer

tok = AutoTokenizer.from_pretrained("./tokenizer_out", trust_remote_code=True)
assert tok._native is not None, "native extension tarvex_rs is not active (pip install tarvex-rs)"

batch = tok(["hello world", "tokens per character"], padding=True)
print(batch["input_ids"])
```

Without the native extension the tokenizer still works, in pure Python, with the same
ids, only slower; set `TARVEX_DISABLE_NATIVE` to force that path.
)readme";

std::string with_crlf(std::string_view lf_text) {
  std::string out;
  out.reserve(lf_text.size() + lf_text.size() / 32);
  for (char c : lf_text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

std::string_view readme_text() {
  // The raw string starts with the line break after its opening delimiter.
  static const std::string text = with_crlf(kReadmeLf.substr(1));
  return text;
}

}  // namespace tarvex
