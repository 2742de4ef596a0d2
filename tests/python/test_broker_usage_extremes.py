"""Token counts at the edge of 64 bits, as a misbehaving service may report them: the
usage record, the console line and the running totals add them as Python does."""

import pytest

from support.broker_fakes import log_entries, make_broker  # noqa: F401  (fixture)

MODEL = "gpt-5-mini-2025-08-07"
I64_MAX = 2**63 - 1


@pytest.mark.parametrize("inp, out", [(I64_MAX, 1), (I64_MAX, I64_MAX), (-(2**63), -1)])
def test_totals_beyond_64_bits_are_exact(make_broker, tmp_path, capsys, inp, out):
    broker = make_broker(enable_logging=True)
    capsys.readouterr()
    broker._log_token_usage("t", inp, out, MODEL)
    assert f"TOTAL_TOKENS: {inp + out} | \n" in log_entries(tmp_path / "usage.log")[-1]
    assert capsys.readouterr().out.startswith(f"-> t: {inp + out} tokens ($")
    usage = broker.get_total_usage()
    assert (usage["total_input_tokens"], usage["total_output_tokens"], usage["total_tokens"]) == (inp, out, inp + out)
