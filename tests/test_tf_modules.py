import pytest

from tally_warden.stackreader import StackReader

from conftest import run_cli


def scan(fixtures, name, **kw):
    return StackReader.parse_tf_dir(str(fixtures / "terraform" / "modules" / name), modules=True, **kw)


def summary(records, key):
    return {r["name"]: r["properties"].get(key) for r in records}


@pytest.mark.parametrize("tree, key, expected", [
    ("twice", "instance_type", {
        "module.small.aws_instance.this": "t3.micro",
        "module.big.aws_instance.this": "m5.xlarge",
    }),
    ("nested", "identifier", {
        "module.app.module.db.aws_db_instance.main[0]": "orders-prod-0",
        "module.app.module.db.aws_db_instance.main[1]": "orders-prod-1",
    }),
    ("counted", "instance_type", {
        "module.w[0].aws_instance.vm": "t3.micro",
        'module.w[0].aws_ebs_volume.disk["x"]': None,
        'module.w[0].aws_ebs_volume.disk["y"]': None,
        "module.w[1].aws_instance.vm": "t3.micro",
        'module.w[1].aws_ebs_volume.disk["x"]': None,
        'module.w[1].aws_ebs_volume.disk["y"]': None,
        'module.e["a"].aws_instance.vm': "t3.small",
        'module.e["a"].aws_ebs_volume.disk["x"]': None,
        'module.e["a"].aws_ebs_volume.disk["y"]': None,
        'module.e["b"].aws_instance.vm': "m5.large",
        'module.e["b"].aws_ebs_volume.disk["x"]': None,
        'module.e["b"].aws_ebs_volume.disk["y"]': None,
    }),
    ("registry", "count", {
        "module.vpc.aws_nat_gateway.this[0]": 2,
        "module.vpc.aws_nat_gateway.this[1]": 2,
    }),
    ("defaults", "kind", {
        'module.queues.aws_sqs_queue.q["orders"]': "standard",
        'module.queues.aws_sqs_queue.q["payments"]': "fifo",
        'module.picked.aws_sqs_queue.q["only"]': "fifo",
    }),
    ("roots", "instance_type", {
        "module.vm.aws_instance.vm": "t3.micro",
        "assets": None,
        "orphan": "t3.micro",
    }),
])
def test_module_instances(fixtures, capsys, tree, key, expected):
    records = scan(fixtures, tree)
    assert summary(records, key) == expected
    assert len(records) == len(expected)
    assert all(list(r) == ["provider", "type", "name", "properties"] for r in records)
    assert capsys.readouterr().out == ""


def test_module_values_reach_nested_attributes(fixtures):
    records = scan(fixtures, "counted")
    assert summary(records, "label")['module.e["b"].aws_instance.vm'] == "e-b"
    assert summary(records, "name")['module.w[1].aws_ebs_volume.disk["x"]'] == "w-1-x"


def test_module_locals_use_call_arguments_and_providers_pass_down(fixtures):
    records = scan(fixtures, "twice")
    assert summary(records, "label") == {
        "module.small.aws_instance.this": "vm-t3.micro",
        "module.big.aws_instance.this": "vm-m5.xlarge",
    }
    assert set(summary(records, "region").values()) == {"eu-central-1"}


def test_missing_source_is_reported_and_the_scan_goes_on(fixtures, capsys):
    records = scan(fixtures, "missing")
    assert [r["name"] for r in records] == ["logs"]
    assert capsys.readouterr().out.splitlines() == [
        "Module 'gone' (acme/gone/aws): not found; run terraform init to price it",
        "Module 'nowhere' (./nothing): source directory 'nothing' does not exist",
    ]


def test_local_source_without_terraform_files(tmp_path, capsys):
    (tmp_path / "main.tf").write_text('module "m" {\n  source = "./docs"\n}\n')
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "README.md").write_text("x\n")
    assert StackReader.parse_tf_dir(str(tmp_path), modules=True) == []
    assert capsys.readouterr().out.splitlines() == ["Module 'm' (./docs): no .tf files in 'docs'"]


def test_cycle_ends_with_one_line(fixtures, capsys):
    records = scan(fixtures, "cycle")
    assert [r["name"] for r in records] == ["module.a.aws_sqs_queue.qa", "module.a.module.b.aws_sqs_queue.qb"]
    [line] = capsys.readouterr().out.splitlines()
    assert line == "Module 'a' (../a): cycle of module calls . -> a -> b -> a; not instantiated"


@pytest.mark.parametrize("tree, names", [
    ("twice", {"this"}),
    ("registry", set()),
    ("roots", {"vm", "assets", "orphan"}),
])
def test_plain_scan_is_unchanged(fixtures, tree, names):
    records = StackReader.parse_tf_dir(str(fixtures / "terraform" / "modules" / tree))
    assert {r["name"] for r in records} == names


def test_hook_modules_flag(fixtures, tmp_path):
    tree = fixtures / "terraform" / "modules" / "missing"
    plain = run_cli([str(tree), "-t", "1e9"], cwd=tmp_path)
    assert "not found" not in plain.stdout
    modules = run_cli([str(tree), "-t", "1e9", "--modules"], cwd=tmp_path)
    assert modules.returncode == 0
    assert "Module 'gone' (acme/gone/aws): not found; run terraform init to price it" in modules.stdout

