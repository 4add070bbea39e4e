"""The CloudFormation file reader and its YAML reader, written plainly in Python: the
baseline that bench_readers.py compares the native reader with."""

import json

CF_TYPE_MAP = {
    "AWS::EC2::Instance": "aws_instance",
    "AWS::RDS::DBInstance": "aws_db_instance",
    "AWS::Lambda::Function": "aws_lambda_function",
    "AWS::S3::Bucket": "aws_s3_bucket",
    "AWS::DynamoDB::Table": "aws_dynamodb_table",
    "AWS::EKS::Cluster": "aws_eks_cluster",
    "AWS::ElasticLoadBalancingV2::LoadBalancer": "aws_alb",
    "AWS::Elasticache::CacheCluster": "aws_elasticache_cluster",
    "AWS::ElastiCache::CacheCluster": "aws_elasticache_cluster",
    "AWS::Redshift::Cluster": "aws_redshift_cluster",
}
KEY_MAP = {"InstanceType": "instance_type", "InstanceClass": "instance_class",
           "AllocatedStorage": "allocated_storage", "MemorySize": "memory_size"}


def _scalar(s):
    try:
        return float(s) if "." in s else int(s)
    except ValueError:
        return s


def parse_yaml(text):
    root = {}
    stack = [(-1, None, root, False)]
    for line in text.splitlines():
        content = line.split("#", 1)[0]
        stripped = content.strip()
        if not stripped:
            continue
        indent = len(content) - len(content.lstrip(" "))
        item = stripped.startswith("-")
        while len(stack) > 1 and stack[-1][0] >= indent:
            ind, key, cont, block = stack[-1]
            if item and ind == indent and block and (isinstance(cont, list) or not cont):
                break
            stack.pop()
        p_indent, p_key, parent, p_block = stack[-1]
        if item:
            it = stripped[1:].strip()
            if not isinstance(parent, list):
                if len(stack) > 1 and p_key is not None and isinstance(stack[-2][2], dict):
                    new = []
                    stack[-2][2][p_key] = new
                    stack[-1] = (p_indent, p_key, new, p_block)
                    parent = new
                else:
                    parent = []
            if ":" in it:
                k, v = it.split(":", 1)
                k = k.strip().strip("\"'")
                v = v.strip().strip("\"'")
                m = {k: _scalar(v)}
                parent.append(m)
                stack.append((indent, k, m, False))
            else:
                parent.append(_scalar(it.strip("\"'")))
        elif ":" in stripped:
            k, raw = stripped.split(":", 1)
            k = k.strip().strip("\"'")
            raw = raw.strip()
            v = raw.strip("\"'")
            if isinstance(parent, list):
                m = {}
                parent.append(m)
                stack.append((indent, None, m, False))
                parent = m
            if not v or (raw.startswith("!") and len(raw.split()) == 1):
                m = {}
                if isinstance(parent, dict):
                    parent[k] = m
                stack.append((indent, k, m, True))
            elif isinstance(parent, dict):
                parent[k] = _scalar(v)
    return root


def _cf_type(cf):
    if cf in CF_TYPE_MAP:
        return CF_TYPE_MAP[cf]
    parts = cf.split("::")
    if len(parts) > 2:
        return "_".join(p.lower() for p in parts[:3])
    return cf.lower().replace("::", "_")


def parse_cloudformation_data(data):
    resources = data.get("Resources", {})
    if not isinstance(resources, dict):
        return []
    params = data.get("Parameters") or {}
    if not isinstance(params, dict):
        params = {}

    def resolve(v):
        if isinstance(v, str):
            s = v.strip()
            if s.startswith("!Ref "):
                p = params.get(s[5:].strip(), {})
                if isinstance(p, dict):
                    return p.get("Default", v)
            return v
        if isinstance(v, dict) and "Ref" in v and isinstance(v["Ref"], str):
            p = params.get(v["Ref"], {})
            if isinstance(p, dict):
                return p.get("Default", v)
        return v

    out = []
    for logical_id, res in resources.items():
        if not isinstance(res, dict):
            continue
        cf = res.get("Type", "")
        if not isinstance(cf, str):
            continue
        rtype = _cf_type(cf)
        provider = rtype.split("_", 1)[0] if "_" in rtype else "unknown"
        raw = res.get("Properties") or {}
        if not isinstance(raw, dict):
            raw = {}
        props = {}
        for k, v in raw.items():
            r = resolve(v)
            if k == "Tags" and isinstance(r, list):
                tags = {}
                for el in r:
                    if isinstance(el, dict) and "Key" in el and "Value" in el and isinstance(el["Key"], str):
                        tags[el["Key"]] = resolve(el["Value"])
                props["tags"] = tags
                for tk, tv in tags.items():
                    if tk.startswith("tally_"):
                        props[tk] = tv
            else:
                props[KEY_MAP.get(k, k)] = r
        out.append({"provider": provider, "type": rtype, "name": logical_id, "properties": props})
    return out


def parse_cloudformation(path):
    try:
        with open(path, encoding="utf-8-sig") as f:
            text = f.read()
    except Exception as e:
        print(f"Error reading CloudFormation file {path}: {e}")
        return []
    if text.strip().startswith("{"):
        try:
            return parse_cloudformation_data(json.loads(text))
        except Exception as e:
            print(f"Error decoding CloudFormation JSON {path}: {e}")
            return []
    try:
        return parse_cloudformation_data(parse_yaml(text))
    except Exception as e:
        print(f"Error parsing CloudFormation YAML {path}: {e}")
        return []
