"""Hugging Face remote-code tokenizer for Tarvex.

功能：
- 复现原生归一化：按空白切分单词，并在每个单词后追加 "Ġ"（END_TOKEN）；
- 使用 Trie + DP 做全局最少 token 的切分（即最小 tokens/char）；
- 若已安装 tarvex_rs 原生扩展，则自动使用其 DpTokenizer（更快，批量时释放 GIL）。

用法：
    from transformers import AutoTokenizer
    tok = AutoTokenizer.from_pretrained("user/repo", trust_remote_code=True)
"""

import json
import os

from transformers import PreTrainedTokenizer

END_TOKEN = "\u0120"

try:
    from tarvex_rs import DpTokenizer as _NativeDpTokenizer

    _NATIVE_AVAILABLE = True
except Exception:  # a missing or broken extension just means the pure-Python path
    _NativeDpTokenizer = None
    _NATIVE_AVAILABLE = False


def _env_on(name):
    # A switch is on when the variable is present with a valid Unicode value,
    # whatever the value ("" and "0" included).
    value = os.environ.get(name)
    if value is None:
        return False
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


class _TrieNode:
    __slots__ = ("next", "term_id")

    def __init__(self):
        self.next = {}
        self.term_id = None


class _TokenTrie:
    """Token trie over the vocabulary, with the same filters as DpTokenizer."""

    def __init__(self, vocab):
        self.nodes = [_TrieNode()]
        self._require_word_start = set()

        forbid_end_inner = _env_on("TARVEX_FORBID_END_INNER")
        cross_word_whole_only = (not forbid_end_inner) and _env_on("TARVEX_CROSS_WORD_WHOLE_ONLY")
        forbid_punct_tokens = _env_on("TARVEX_FORBID_PUNCT_TOKENS")

        def has_hard_punct(token):
            return any(ch != END_TOKEN and not ch.isalnum() for ch in token)

        for token, tid in vocab.items():
            if forbid_punct_tokens and len(token) > 1 and has_hard_punct(token):
                continue
            if token == "":
                # Never matched: the walk only visits nodes below the root.
                self.nodes[0].term_id = tid
                continue
            if END_TOKEN in token[:-1]:
                if forbid_end_inner:
                    continue
                if cross_word_whole_only:
                    if not token.endswith(END_TOKEN) or token.startswith(END_TOKEN):
                        continue
                    self._require_word_start.add(tid)
            self._insert(token, tid)

    def _insert(self, token, tid):
        nodes = self.nodes
        at = 0
        for ch in token:
            nxt = nodes[at].next.get(ch)
            if nxt is None:
                nxt = len(nodes)
                nodes.append(_TrieNode())
                nodes[at].next[ch] = nxt
            at = nxt
        nodes[at].term_id = tid

    def dp_min_ids(self, s, unk_id):
        """Fewest tokens; on equal counts the longest first token wins."""
        n = len(s)
        if n == 0:
            return []
        sentinel = 10**18
        nodes = self.nodes
        word_start_only = self._require_word_start
        dp = [sentinel] * (n + 1)
        back_next = [-1] * (n + 1)
        back_id = [0] * (n + 1)
        dp[n] = 0
        for i in range(n - 1, -1, -1):
            at_word_start = i == 0 or s[i - 1] == END_TOKEN
            best = dp[i]
            best_next = -1
            best_id = 0
            node = nodes[0]
            j = i
            while j < n:
                if not node.next:
                    break
                nxt = node.next.get(s[j])
                if nxt is None:
                    break
                node = nodes[nxt]
                tid = node.term_id
                if tid is not None and (at_word_start or tid not in word_start_only):
                    c = dp[j + 1] + 1
                    # Lengths only grow along the walk, so an equal count here
                    # means a strictly longer first token.
                    if c < best or (c == best and (best_next < 0 or j + 1 > best_next)):
                        best = c
                        best_next = j + 1
                        best_id = tid
                j += 1
            if best_next < 0:
                # Nothing starts here: one unknown token for this character.
                best = dp[i + 1] + 1
                best_next = i + 1
                best_id = unk_id
            dp[i] = best
            back_next[i] = best_next
            back_id[i] = best_id
        out = []
        at = 0
        while at < n:
            if back_next[at] < 0:
                out.append(unk_id)
                at += 1
            else:
                out.append(back_id[at])
                at = back_next[at]
        return out


def _normalize(text):
    return "".join(word + END_TOKEN for word in text.split())


class Tarvex(PreTrainedTokenizer):
    vocab_files_names = {"vocab_file": "vocab.json"}
    model_input_names = ["input_ids", "attention_mask"]

    # Defaults for the base initializer, which may look tokens up before this
    # class has finished its own set-up.
    _native = None
    _trie = None
    _unk_id = None

    def __init__(
        self,
        vocab_file,
        unk_token="<unk>",
        pad_token="<pad>",
        bos_token="<s>",
        eos_token="</s>",
        mask_token="<mask>",
        **kwargs,
    ):
        if not vocab_file or not os.path.isfile(vocab_file):
            raise FileNotFoundError(f"vocab_file not found: {vocab_file}")
        with open(vocab_file, "r", encoding="utf-8") as f:
            raw = json.load(f)
        # The base initializer asks for the vocabulary, so it must be loaded
        # first; the special tokens are already in it with their ids.
        self.vocab = {token: int(tid) for token, tid in raw.items()}
        self.id_to_token = {tid: token for token, tid in self.vocab.items()}

        super().__init__(
            unk_token=unk_token,
            pad_token=pad_token,
            bos_token=bos_token,
            eos_token=eos_token,
            mask_token=mask_token,
            **kwargs,
        )

        unk = str(self.unk_token)
        if unk not in self.vocab:
            raise ValueError(f"unk_token {unk!r} not in vocab")
        self._unk_id = self.vocab[unk]
        self._trie = _TokenTrie(self.vocab)

        self._native = None
        if _NATIVE_AVAILABLE and not _env_on("TARVEX_DISABLE_NATIVE"):
            try:
                self._native = _NativeDpTokenizer(vocab_file, unk)
            except Exception:
                self._native = None

    @property
    def vocab_size(self):
        return len(self.vocab)

    def get_vocab(self):
        return dict(self.vocab)

    def _tokenize(self, text):
        if self._native is not None:
            ids = self._native.encode(text)
        else:
            ids = self._trie.dp_min_ids(_normalize(text), self._unk_id)
        return [self.id_to_token[i] for i in ids]

    def __call__(
        self,
        text=None,
        text_pair=None,
        add_special_tokens=True,
        padding=False,
        truncation=False,
        max_length=None,
        stride=0,
        is_split_into_words=False,
        pad_to_multiple_of=None,
        return_tensors=None,
        return_token_type_ids=None,
        return_attention_mask=None,
        return_overflowing_tokens=False,
        return_special_tokens_mask=False,
        return_offsets_mapping=False,
        return_length=False,
        verbose=True,
        **kwargs,
    ):
        fast = self._fast_path_eligible(
            text,
            text_pair,
            is_split_into_words,
            stride,
            return_overflowing_tokens,
            return_special_tokens_mask,
            return_offsets_mapping,
            kwargs,
        )
        if fast:
            return self._batch_encode_native(
                text,
                add_special_tokens,
                padding,
                truncation,
                max_length,
                pad_to_multiple_of,
                return_tensors,
                return_token_type_ids,
                return_attention_mask,
                return_length,
            )
        return super().__call__(
            text,
            text_pair=text_pair,
            add_special_tokens=add_special_tokens,
            padding=padding,
            truncation=truncation,
            max_length=max_length,
            stride=stride,
            is_split_into_words=is_split_into_words,
            pad_to_multiple_of=pad_to_multiple_of,
            return_tensors=return_tensors,
            return_token_type_ids=return_token_type_ids,
            return_attention_mask=return_attention_mask,
            return_overflowing_tokens=return_overflowing_tokens,
            return_special_tokens_mask=return_special_tokens_mask,
            return_offsets_mapping=return_offsets_mapping,
            return_length=return_length,
            verbose=verbose,
            **kwargs,
        )

    def _fast_path_eligible(
        self,
        text,
        text_pair,
        is_split_into_words,
        stride,
        return_overflowing_tokens,
        return_special_tokens_mask,
        return_offsets_mapping,
        extra_kwargs,
    ):
        return (
            self._native is not None
            and text_pair is None
            and isinstance(text, (list, tuple))
            and not is_split_into_words
            and stride == 0
            and not return_overflowing_tokens
            and not return_special_tokens_mask
            and not return_offsets_mapping
            and not extra_kwargs
        )

    # Keyword arguments of __call__ that the fast path handles itself.
    _FAST_PATH_KWARGS = frozenset(
        (
            "add_special_tokens",
            "padding",
            "truncation",
            "max_length",
            "pad_to_multiple_of",
            "return_tensors",
            "return_token_type_ids",
            "return_attention_mask",
            "return_length",
            "verbose",
        )
    )

    def batch_encode_plus(self, batch_text_or_text_pairs, **kwargs):
        batch = batch_text_or_text_pairs
        # Only hand over to __call__ when it will take the fast path: older
        # base classes implement __call__ on batches through this very
        # method, so handing over anything else would recurse without end.
        extra = {k: v for k, v in kwargs.items() if k not in self._FAST_PATH_KWARGS}
        eligible = self._fast_path_eligible(
            batch,
            extra.pop("text_pair", None),
            extra.pop("is_split_into_words", False),
            extra.pop("stride", 0),
            extra.pop("return_overflowing_tokens", False),
            extra.pop("return_special_tokens_mask", False),
            extra.pop("return_offsets_mapping", False),
            extra,
        )
        if eligible and len(batch) > 0 and all(isinstance(t, str) for t in batch):
            return self.__call__(list(batch), **kwargs)
        base = getattr(super(), "batch_encode_plus", None)
        if base is not None:
            return base(batch, **kwargs)
        # Newer transformers releases dropped batch_encode_plus from the base
        # class; its __call__ does the same work.
        return super().__call__(batch, **kwargs)

    def _special_ids(self):
        # The BOS and EOS ids that exist in the vocabulary, each as a list of
        # zero or one id.
        bos, eos = self.bos_token, self.eos_token
        bos_id = self.vocab.get(str(bos)) if bos is not None else None
        eos_id = self.vocab.get(str(eos)) if eos is not None else None
        return ([bos_id] if bos_id is not None else []), ([eos_id] if eos_id is not None else [])

    # The base class path frames sequences the same way as the batch fast
    # path, so a call gives the same ids whichever path serves it.
    def build_inputs_with_special_tokens(self, token_ids_0, token_ids_1=None):
        head, tail = self._special_ids()
        out = head + list(token_ids_0) + tail
        if token_ids_1 is not None:
            out += list(token_ids_1) + tail
        return out

    def get_special_tokens_mask(self, token_ids_0, token_ids_1=None, already_has_special_tokens=False):
        if already_has_special_tokens:
            return super().get_special_tokens_mask(token_ids_0, token_ids_1, already_has_special_tokens=True)
        head, tail = self._special_ids()
        mask = [1] * len(head) + [0] * len(token_ids_0) + [1] * len(tail)
        if token_ids_1 is not None:
            mask += [0] * len(token_ids_1) + [1] * len(tail)
        return mask

    def _batch_encode_native(
        self,
        texts,
        add_special_tokens,
        padding,
        truncation,
        max_length,
        pad_to_multiple_of,
        return_tensors,
        return_token_type_ids,
        return_attention_mask,
        return_length,
    ):
        from transformers import BatchEncoding

        input_ids = self._native.encode_batch(texts)

        if add_special_tokens:
            head, tail = self._special_ids()
            if head or tail:
                input_ids = [head + ids + tail for ids in input_ids]

        if truncation and max_length is not None:
            input_ids = [ids[:max_length] for ids in input_ids]

        pad = self.pad_token
        pad_id = self.vocab.get(str(pad)) if pad is not None else None
        if pad_id is None:
            pad_id = self._unk_id
        if return_attention_mask is None:
            return_attention_mask = True

        target = None
        if padding is True or (isinstance(padding, str) and padding == "longest"):
            target = max((len(ids) for ids in input_ids), default=0)
        elif isinstance(padding, str) and padding == "max_length":
            target = max_length
        if target is not None and pad_to_multiple_of and target % pad_to_multiple_of != 0:
            target = (target // pad_to_multiple_of + 1) * pad_to_multiple_of

        lengths = [len(ids) for ids in input_ids]
        masks = []
        if target is not None:
            padded = []
            for ids in input_ids:
                if len(ids) < target:
                    fill = target - len(ids)
                    masks.append([1] * len(ids) + [0] * fill)
                    padded.append(ids + [pad_id] * fill)
                else:
                    masks.append([1] * len(ids))
                    padded.append(ids)
            input_ids = padded
        else:
            masks = [[1] * len(ids) for ids in input_ids]

        data = {"input_ids": input_ids}
        if return_attention_mask:
            data["attention_mask"] = masks
        if return_token_type_ids:
            data["token_type_ids"] = [[0] * len(ids) for ids in input_ids]
        if return_length:
            data["length"] = lengths
        return BatchEncoding(data, tensor_type=return_tensors)

    def _convert_token_to_id(self, token):
        return self.vocab.get(token, self._unk_id)

    def _convert_id_to_token(self, index):
        return self.id_to_token.get(int(index), str(self.unk_token))

    def convert_tokens_to_string(self, tokens):
        return "".join(tokens).replace(END_TOKEN, " ").strip()

    def save_vocabulary(self, save_directory, filename_prefix=None):
        os.makedirs(save_directory, exist_ok=True)
        name = (filename_prefix + "-" if filename_prefix else "") + "vocab.json"
        path = os.path.join(save_directory, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(json.dumps(self.vocab, ensure_ascii=False, indent=2))
            f.write("\n")
        return (path,)
