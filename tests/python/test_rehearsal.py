"""The offline rehearsal model: the loopback server driven by the real broker and facade."""

import http.client
import json
import os
import socket
import threading
import urllib.parse

import pytest

from tovrane_core.model_broker import ModelBroker
from tovrane_core.rehearsal import REHEARSAL_NOTICE, RehearsalServer

from conftest import SAMPLES

CLASS = SAMPLES / "social_class7"

PAPER_PAGES = {
    1: "CITY SCHOOL, AGRA\nUnit Test 2024-25\nSubject: Science Class: VI\n"
       "General Instructions:\n1. All questions are compulsory.\n2. Write neatly.\n"
       "SECTION A (1 mark each)\n"
       "Q1. Name the gas that plants give out in sunlight.\n"
       "Q2. Which organ pumps blood?\n(a) Lungs (b) Heart (c) Liver\n"
       "SECTION B\n"
       "Q3. Plants and water:\n(a) What is transpiration? [2 marks]\n"
       "(b) Why do roots need water?\nExplain. [2 marks]\n"
       "P.T.O.\nPage 1 of 2\n",
    2: "Science | Class VI | Unit Test 2024-25\n"
       "Q4. Describe how a seed grows into a young plant. Name the\n"
       "parts that come out first. [3 marks]\n"
       "Page 2 of 2\n",
}
PAPER_IDS = ["Q1", "Q2", "Q3(a)", "Q3(b)", "Q4"]
PAPER_MARKS = [1.0, 1.0, 2.0, 2.0, 3.0]

SHEET_PAGES = {
    1: "Page No. 1\nANSWER BOOKLET\nName: Mira Roll No.: 4\n"
       "Q1 Oxygen\nQ2 (b) Heart\nQ3 (a) Transpiration is the loss of water\nfrom the leaves of a plant.\n",
    2: "Page No. 2\n(b) Roots take in water because the plant needs\nwater to make food.\n"
       "Q4 The seed takes in water and grows. The root comes out first,\n"
       "then the shoot. The young plant grows leaves.\nQ9 not a question of this paper\n",
}


@pytest.fixture
def rehearsal(monkeypatch):
    with RehearsalServer() as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.base_url)
        monkeypatch.setenv("OPENAI_API_KEY", "any key at all")
        yield server


@pytest.fixture
def broker(rehearsal, tmp_path):
    return ModelBroker(token_log_file=str(tmp_path / "usage.log"), enable_logging=True)


def paper_of(broker):
    return broker.parseQuestionPaper(PAPER_PAGES, "Science", "English", "Class 6")


def test_notice_says_plainly_that_no_model_was_used():
    assert "no language model was used" in REHEARSAL_NOTICE
    assert "rehearsal" in REHEARSAL_NOTICE.lower() and "\n" not in REHEARSAL_NOTICE


def test_question_paper_through_the_broker(broker):
    paper = paper_of(broker)
    assert paper.get_question_ids() == PAPER_IDS
    assert [paper.get_question(q).max_marks for q in PAPER_IDS] == PAPER_MARKS
    assert paper.get_question("Q2").text == "Which organ pumps blood?\n(a) Lungs (b) Heart (c) Liver"
    assert paper.get_question("Q3(b)").text == "Why do roots need water? Explain."
    # The running header of page 2 and the footers are not question text.
    assert paper.get_question("Q4").text == ("Describe how a seed grows into a young plant. "
                                            "Name the parts that come out first.")


def test_rubric_reference_answer_and_evaluation(broker):
    question = "Describe how a seed grows into a young plant. Name the parts that come out first."
    rubric = broker.generateRubric(question, 3, "Class 6", "Science")
    assert [c.mark for c in rubric.criteria] == [1.0, 1.0, 1.0]
    assert rubric.criteria[0].statement == "Covers: Describe how a seed grows into a young plant."

    reference = broker.generateRefAnswer(question, rubric, "Class 6", "Science")
    assert reference.startswith("Rehearsal reference answer")
    assert "seed" in reference and "plant" in reference

    strong = broker.evaluateAnswer("The seed grows into a young plant: the root comes out first, then the "
                                   "shoot. I describe the parts.", question, rubric, reference)
    weak = broker.evaluateAnswer("It becomes big.", question, rubric, reference)
    assert strong["awarded_marks"] > weak["awarded_marks"] == 0.0
    assert strong["awarded_marks"] == sum(c.mark for c in strong["rubric"].criteria if c.is_fulfilled)
    assert "no language model" in weak["feedback"] and "you" in weak["feedback"].lower()
    assert not any(c.is_fulfilled for c in rubric.criteria)  # the caller's rubric is untouched


def test_answersheet_is_split_and_matched_to_the_paper(broker):
    paper = paper_of(broker)
    sheet = broker.parseAnswersheet(SHEET_PAGES, paper)
    # "Q9" is answered as Unknown by the rehearsal model; the broker drops it.
    assert sheet.get_question_ids() == PAPER_IDS
    assert sheet.get_answer("Q2").text == "(b) Heart"
    assert sheet.get_answer("Q3(a)").text == "Transpiration is the loss of water from the leaves of a plant."
    assert sheet.get_answer("Q3(b)").pages == [2]
    assert "root comes out first" in sheet.get_answer("Q4").text


def test_answers_continue_over_page_breaks(broker):
    paper = paper_of(broker)
    sheet = broker.parseAnswersheet({1: "Q1 Oxygen\nQ4 The seed takes in water", 2: "Page No. 2\nand grows."},
                                    paper)
    assert sheet.get_answer("Q4").text == "The seed takes in water and grows."
    assert sheet.get_answer("Q4").pages == [1, 2]


def test_reference_answers_extracted_from_an_answer_key(broker, capsys):
    paper = paper_of(broker)
    found = broker.parseReferenceAnswers({1: "ANSWER KEY\nQ1. Oxygen\nQ3 (a) Loss of water from leaves.\n"
                                             "(b) To make food."}, paper)
    assert found == {"Q1": "Oxygen", "Q3(a)": "Loss of water from leaves.", "Q3(b)": "To make food."}
    assert paper.get_question("Q3(b)").reference_answer == "To make food."
    assert "Failed" not in capsys.readouterr().out


def test_batches_and_determinism(broker):
    paper = paper_of(broker)
    data = [{"q_id": q, "question": paper.get_question(q).text, "max_marks": paper.get_question(q).max_marks,
             "class_level": "Class 6", "subject": "Science"} for q in PAPER_IDS]
    first = broker.generate_rubrics_batch_sync(data)
    second = broker.generate_rubrics_batch_sync(data)
    assert [r["success"] for r in first] == [True] * len(PAPER_IDS)
    statements = [[c.statement for c in r["rubric"].criteria] for r in first]
    assert statements == [[c.statement for c in r["rubric"].criteria] for r in second]
    assert [sum(c.mark for c in r["rubric"].criteria) for r in first] == PAPER_MARKS

    references = broker.generate_ref_answers_batch_sync(
        [dict(d, rubric=r["rubric"]) for d, r in zip(data, first)])
    assert all(r["success"] and r["ref_answer"].startswith("Rehearsal") for r in references)
    evaluations = broker.evaluate_answers_batch_sync(
        [{"q_id": d["q_id"], "student_answer": d["question"], "question": d["question"],
          "rubric": r["rubric"], "reference_answer": ref["ref_answer"]}
         for d, r, ref in zip(data, first, references)])
    # An answer that repeats the question uses every key word: full marks, everywhere.
    assert [e["evaluation"]["awarded_marks"] for e in evaluations] == PAPER_MARKS


def test_usage_is_the_brokers_own_count(broker, tmp_path):
    """Replies carry no usage: the broker counts the request and the answer itself."""
    calls = []
    send = broker._make_api_call

    def spy(**kwargs):
        response = send(**kwargs)
        calls.append((kwargs["messages"], response.choices[0].message.content))
        return response

    broker._make_api_call = spy
    broker.generateRubric("Name a gas.", 1, "Class 6", "Science")
    [(messages, content)] = calls
    usage = broker.get_total_usage()
    assert usage["total_input_tokens"] == broker._count_message_tokens(messages)
    assert usage["total_output_tokens"] == broker._count_tokens(content) > 0
    assert "TASK: generate_rubric |" in (tmp_path / "usage.log").read_text(encoding="utf-8")


def test_requests_it_does_not_know_are_refused_clearly(rehearsal, broker):
    import openai

    with openai.OpenAI(base_url=rehearsal.base_url, api_key="x", max_retries=0) as client:
        with pytest.raises(openai.BadRequestError, match="rehearsal model: no rule answers"):
            client.chat.completions.create(model="m", messages=[{"role": "user", "content": "Read this page."}])
    # A known response format with a prompt that is not the broker's own.
    send = broker._make_api_call

    def foreign(**kwargs):
        kwargs["messages"] = [{"role": "user", "content": "Write a poem."}]
        return send(**kwargs)

    broker._make_api_call = foreign
    with pytest.raises(RuntimeError, match="^Failed to generate rubric: .*not one of tovrane_core's prompts"):
        broker.generateRubric("Name a gas.", 1, "Class 6", "Science")


def port_of(server):
    return urllib.parse.urlsplit(server.base_url).port


@pytest.mark.parametrize("method, path, body, status", [
    ("GET", "/v1/models", None, 404),
    ("POST", "/v1/embeddings", b"{}", 404),
    ("POST", "/v1/chat/completions", b"not json", 400),
    ("POST", "/v1/chat/completions", json.dumps({"stream": True, "messages": []}).encode(), 400),
])
def test_protocol_errors(rehearsal, method, path, body, status):
    conn = http.client.HTTPConnection("127.0.0.1", port_of(rehearsal))
    try:
        conn.request(method, path, body=body, headers={"content-type": "application/json"})
        reply = conn.getresponse()
        error = json.loads(reply.read())["error"]
        assert reply.status == status and error["message"].startswith("rehearsal model:")
    finally:
        conn.close()


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="counts descriptors through /proc")
def test_stops_cleanly_without_leaking_threads_or_sockets():
    threads, descriptors = set(threading.enumerate()), open_descriptors()
    server = RehearsalServer().start()
    port = port_of(server)
    # An idle keep-alive connection must not keep the server (or its threads) alive.
    conn = http.client.HTTPConnection("127.0.0.1", port)
    conn.request("GET", "/v1/models")
    conn.getresponse().read()
    server.stop()
    server.stop()  # idempotent
    conn.close()
    assert set(threading.enumerate()) <= threads
    assert open_descriptors() <= descriptors  # listening and accepted sockets closed, not left to the collector
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
    with pytest.raises(RuntimeError, match="not started"):
        server.base_url


def collapsed(text):
    return " ".join(text.split())


@pytest.fixture(scope="module")
def sample_pages():
    from tovrane_core.ocr_extractor.extractor_client import ExtractorClient

    reader = ExtractorClient(extractor_type="local")
    return lambda name: reader.process_pdf(str(CLASS / f"{name}.digital.pdf"), None)


@pytest.mark.parametrize("student", ["meera", "sana", "tanvi", "arjun", "dev", "kabir"])
def test_the_sample_class_text_layers_read_as_their_ground_truth(broker, sample_pages, student):
    paper_truth = json.loads((CLASS / "social_class7_paper.truth.json").read_text(encoding="utf-8"))
    paper = broker.parseQuestionPaper(sample_pages("social_class7_paper"), "Social Science", "English", "Class 7")
    assert [(q, paper.get_question(q).max_marks, collapsed(paper.get_question(q).text))
            for q in paper.get_question_ids()] == \
        [(q["q_id"], q["max_marks"], collapsed(q["question_text"])) for q in paper_truth["questions"]]

    truth = json.loads((CLASS / f"social_class7_sheet_{student}.truth.json").read_text(encoding="utf-8"))
    sheet = broker.parseAnswersheet(sample_pages(f"social_class7_sheet_{student}"), paper)
    assert [(q, sheet.get_answer(q).pages, collapsed(sheet.get_answer(q).text)) for q in sheet.get_question_ids()] == \
        [(a["q_id"], a["page_numbers"], collapsed(a["answer_text"])) for a in truth["answers"]]


def test_the_sample_class_through_the_facade(rehearsal, monkeypatch, tmp_path, capsys):
    from tovrane_core.tovrane import Tovrane, TovraneConfig

    for key in ("MATHPIX_APP_ID", "MATHPIX_APP_KEY", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY",
                "GEMINI_API_KEY"):
        monkeypatch.delenv(key, raising=False)
    monkeypatch.setenv("TOVRANE_EXTRACTOR", "local")
    truth = json.loads((CLASS / "social_class7_paper.truth.json").read_text(encoding="utf-8"))

    tovrane = Tovrane()
    tovrane.configure(TovraneConfig(token_log_file=str(tmp_path / "usage.log")))
    # The class takes more calls than the default 50 a minute; a rehearsal need not wait.
    tovrane.model_broker.requests_per_minute = 10_000
    paper = tovrane.process_question_paper(str(CLASS / "social_class7_paper.digital.pdf"), truth["subject"],
                                           truth["language"], truth["class_level"])
    assert paper.get_question_ids() == [q["q_id"] for q in truth["questions"]]
    assert [paper.get_question(q["q_id"]).max_marks for q in truth["questions"]] == \
        [q["max_marks"] for q in truth["questions"]]
    tovrane.generate_rubrics(paper)
    tovrane.generate_reference_answers(paper)

    totals = {}
    for student in ("meera", "sana", "kabir"):
        sheet_truth = json.loads((CLASS / f"social_class7_sheet_{student}.truth.json").read_text(encoding="utf-8"))
        sheet = tovrane.process_answersheet(str(CLASS / f"social_class7_sheet_{student}.digital.pdf"))
        # Written order, parts out of order and answers over page breaks, as the student wrote them.
        assert [(q, sheet.get_answer(q).pages) for q in sheet.get_question_ids()] == \
            [(a["q_id"], a["page_numbers"]) for a in sheet_truth["answers"]]
        totals[student] = sum(c.mark for q in sheet.get_question_ids()
                              for c in sheet.get_answer(q).eval_rubric.criteria if c.is_fulfilled)
        assert all("Rehearsal score" in sheet.get_answer(q).feedback for q in sheet.get_question_ids())
    assert totals["meera"] > totals["kabir"] and totals["sana"] > totals["kabir"]
    assert 0 < max(totals.values()) <= paper.get_total_marks()
    assert tovrane.get_token_usage_summary()["total_tokens"] > 0
    assert "Failed" not in capsys.readouterr().out
