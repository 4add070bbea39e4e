"""Generates large, realistic reader inputs for the benchmarks (seeded, reproducible)."""

import json
import random

TYPES = [
    ("aws_instance", "aws"), ("aws_db_instance", "aws"), ("aws_s3_bucket", "aws"),
    ("aws_lambda_function", "aws"), ("aws_dynamodb_table", "aws"), ("aws_security_group", "aws"),
    ("azurerm_virtual_machine", "azurerm"), ("google_compute_instance", "google"),
]
WORDS = "alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike".split()


def _values(rng, rtype, name):
    v = {
        "arn": f"arn:aws:{rtype}:eu-west-1:123456789012:{name}",
        "id": f"{name}-{rng.randrange(16**8):08x}",
        "instance_type": rng.choice(["t3.micro", "t3.large", "m5.xlarge", "db.t3.medium"]),
        "allocated_storage": rng.choice([20, 50, 100, 500]),
        "memory_size": rng.choice([128, 256, 1024]),
        "monitoring": rng.random() < 0.5,
        "cpu_credits": None,
        "price_hint": round(rng.random() * 100, 4),
        "tags": {"Name": name, "Environment": rng.choice(["prod", "staging", "dev"]),
                 "Owner": rng.choice(WORDS), "tally_storage_gb": rng.randrange(1, 500)},
        "ebs_block_device": [
            {"device_name": f"/dev/sd{c}", "volume_size": rng.randrange(8, 512), "volume_type": "gp3",
             "encrypted": True, "iops": rng.randrange(3000, 16000)} for c in "bc"[: rng.randrange(1, 3)]
        ],
        "vpc_security_group_ids": [f"sg-{rng.randrange(16**8):08x}" for _ in range(rng.randrange(1, 4))],
        "user_data": " ".join(rng.choice(WORDS) for _ in range(4)),
        "description": "Résumé ✓ " + " ".join(rng.choice(WORDS) for _ in range(2)),
    }
    return v


def _resource(rng, module, i):
    rtype, prov = rng.choice(TYPES)
    name = f"{rng.choice(WORDS)}_{i}"
    addr = f"{module + '.' if module else ''}{rtype}.{name}"
    return {
        "address": addr, "mode": "managed", "type": rtype, "name": name,
        "provider_name": f"registry.terraform.io/hashicorp/{prov}", "schema_version": 1,
        "values": _values(rng, rtype, name),
        "sensitive_values": {"tags": {}, "ebs_block_device": [{}]},
    }


def _module(rng, address, n, depth, counter):
    res = []
    for _ in range(n):
        counter[0] += 1
        res.append(_resource(rng, address, counter[0]))
    m = {"resources": res}
    if address:
        m["address"] = address
    if depth > 0:
        m["child_modules"] = [
            _module(rng, f"{address + '.' if address else ''}module.m{depth}_{k}", n, depth - 1, counter)
            for k in range(3)
        ]
    return m


def _all(module):
    out, todo = [], [module]
    while todo:
        m = todo.pop()
        out.extend(m["resources"])
        todo.extend(m.get("child_modules", []))
    return out


def plan(target_bytes, seed=7):
    """A plan JSON text of about `target_bytes`, with planned values, resource changes,
    prior state and configuration."""
    rng = random.Random(seed)
    per_module = max(1, target_bytes // (5000 * 40))
    counter = [0]
    root = _module(rng, "", per_module, 3, counter)
    resources = _all(root)
    changes = []
    for r in resources:
        after = r["values"]
        before = None if rng.random() < 0.5 else dict(after, instance_type="t2.micro")
        changes.append({
            "address": r["address"], "mode": "managed", "type": r["type"], "name": r["name"],
            "provider_name": r["provider_name"],
            "change": {"actions": ["create"] if before is None else ["update"], "before": before, "after": after,
                       "after_unknown": {"id": True, "arn": True}, "before_sensitive": False,
                       "after_sensitive": {"tags": {}}},
        })
    config = {
        "provider_config": {"aws": {"name": "aws", "expressions": {"region": {"constant_value": "eu-west-1"}}}},
        "root_module": {"resources": [
            {"address": r["address"], "mode": "managed", "type": r["type"], "name": r["name"],
             "provider_config_key": "aws", "schema_version": 1,
             "expressions": {"instance_type": {"references": ["var.instance_type"]},
                             "tags": {"constant_value": r["values"]["tags"]}}}
            for r in resources]},
    }
    doc = {
        "format_version": "1.2", "terraform_version": "1.7.5",
        "planned_values": {"root_module": root},
        "resource_changes": changes,
        "prior_state": {"format_version": "1.0", "terraform_version": "1.7.5",
                        "values": {"root_module": root}},
        "configuration": config,
    }
    return json.dumps(doc, indent=1, ensure_ascii=False), len(resources)


def cloudformation_yaml(target_bytes, seed=11):
    """A CloudFormation template in YAML of about `target_bytes`."""
    rng = random.Random(seed)
    head = ["AWSTemplateFormatVersion: '2010-09-09'", "Parameters:", "  InstanceType:",
            "    Type: String", "    Default: t3.micro", "Resources:"]
    lines, size, i = list(head), 0, 0
    kinds = ["AWS::EC2::Instance", "AWS::RDS::DBInstance", "AWS::S3::Bucket", "AWS::Lambda::Function",
             "AWS::SQS::Queue"]
    while size < target_bytes:
        i += 1
        block = [
            f"  Res{i}:",
            f"    Type: {rng.choice(kinds)}",
            "    Properties:",
            "      InstanceType: !Ref InstanceType",
            f"      AllocatedStorage: {rng.randrange(20, 500)}",
            f"      MemorySize: \"{rng.choice([128, 256, 1024])}\"",
            f"      Description: {' '.join(rng.choice(WORDS) for _ in range(5))} # note",
            "      Tags:",
            "        - Key: Name",
            f"          Value: res-{i}",
            "        - Key: tally_storage_gb",
            f"          Value: {rng.randrange(1, 900)}",
            "      SecurityGroupIds:",
            f"      - sg-{rng.randrange(16**8):08x}",
            f"      - sg-{rng.randrange(16**8):08x}",
            "      Code:",
            "        ZipFile: |",
            "          def handler(event, context):",
            "            return 1.5",
        ]
        lines.extend(block)
        size += sum(len(x) + 1 for x in block)
    return "\n".join(lines) + "\n", i


MONO_TYPES = ["aws_instance", "aws_db_instance", "aws_s3_bucket", "aws_lambda_function", "aws_ebs_volume",
              "aws_iam_role", "aws_security_group", "aws_nat_gateway", "aws_lb", "aws_sqs_queue",
              "google_compute_instance", "google_storage_bucket", "azurerm_linux_virtual_machine",
              "azurerm_storage_account", "aws_cloudwatch_log_group", "aws_eks_cluster", "aws_elasticache_cluster",
              "aws_dynamodb_table", "aws_route53_zone", "widget_thing"]
MONO_SIZES = ["t3.micro", "m5.large", "c5.xlarge", "r5.2xlarge", "var.size", "local.size"]


def modular_monorepo(root, modules=2000, per_root=10):
    """The monorepo's resources moved into `modules` module directories (10 resources
    each), called from roots of `per_root` calls: every module once, one call in ten
    with count = 2 and one in ten called a second time."""
    import pathlib
    root = pathlib.Path(root)
    n = 0
    for f in range(modules):
        d = root / "modules" / f"mod{f}"
        d.mkdir(parents=True, exist_ok=True)
        lines = [f'variable "size" {{\n  default = "{MONO_SIZES[f % 4]}"\n}}\n',
                 f'locals {{\n  size = "m5.large"\n  name = "${{var.size}}-{f}"\n}}\n']
        for r in range(10):
            t = MONO_TYPES[n % len(MONO_TYPES)]
            n += 1
            lines.append(f'resource "{t}" "r{f}_{r}" {{\n'
                         f'  instance_type = {MONO_SIZES[(f + r) % len(MONO_SIZES)]}\n'
                         f'  name          = "${{local.name}}"\n'
                         f'  tags = {{\n    Name = "r{r}"\n    tally_storage_gb = {10 * r}\n  }}\n'
                         f'  # comment {r}\n}}\n')
        (d / "main.tf").write_text("".join(lines))
    for r in range((modules + per_root - 1) // per_root):
        d = root / "live" / f"env{r}"
        d.mkdir(parents=True, exist_ok=True)
        lines = ['provider "aws" {\n  region = "us-east-1"\n}\n',
                 f'variable "size" {{\n  default = "{MONO_SIZES[r % 4]}"\n}}\n']
        for j in range(per_root):
            f = r * per_root + j
            if f >= modules:
                break
            extra = "  count  = 2\n" if j == 0 else ""
            lines.append(f'module "m{f}" {{\n  source = "../../modules/mod{f}"\n{extra}  size   = var.size\n}}\n')
            if j == 1:
                lines.append(f'module "m{f}_again" {{\n  source = "../../modules/mod{f}"\n  size   = "t3.micro"\n}}\n')
        (d / "main.tf").write_text("".join(lines))
