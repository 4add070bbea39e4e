"""Aurora instances: per instance-hour by class, against the shipped list and the fallbacks."""
import json

import pytest

from tally_warden.reckoner import Reckoner
from tally_warden.stackreader import StackReader


@pytest.fixture(scope="module")
def shipped(tmp_path_factory):
    r = Reckoner(str(tmp_path_factory.mktemp("store") / "pricing.db"))

    def run(props, rtype="aws_rds_cluster_instance"):
        return r.estimate_resource_cost({"provider": "aws", "type": rtype, "name": "n", "properties": props})

    return run


# (properties, monthly cost, basis). No Aurora class has a row in the shipped list: a class is
# estimated from RDS for MySQL ($0.215/h for db.r6g.large, $0.24/h for db.r5.large).
@pytest.mark.parametrize("props, cost, basis", [
    ({"instance_class": "db.r6g.large", "engine": "aurora-postgresql"}, 156.95,
     "db.r6g.large Aurora PostgreSQL (estimated from RDS) @ $0.2150/hr"),
    ({"instance_class": "db.r6g.large", "engine": "aurora-mysql", "region": "us-east-1"}, 156.95,
     "db.r6g.large Aurora MySQL (estimated from RDS) @ $0.2150/hr"),
    ({"instance_class": "db.r5.large", "engine": "aurora-postgresql"}, 175.2,
     "db.r5.large Aurora PostgreSQL (estimated from RDS) @ $0.2400/hr"),
    ({"instance_class": "db.r5.2xlarge"}, 700.8, "db.r5.2xlarge Aurora MySQL (estimated from RDS) @ $0.9600/hr"),
    # Serverless v2 capacity is billed per ACU, which the cluster's own family prices.
    ({"instance_class": "db.serverless", "engine": "aurora-postgresql"}, 0.0,
     "db.serverless Aurora PostgreSQL (capacity billed per ACU on the cluster)"),
])
def test_shipped_prices(shipped, props, cost, basis):
    result = shipped(props)
    assert result["monthly_cost"] == pytest.approx(cost, rel=0.02)
    assert result["basis"] == basis


@pytest.mark.parametrize("props, rows, basis", [
    # Nothing stored: the default rate, shown as an estimate.
    ({"instance_class": "db.x2g.large"}, (), "db.x2g.large Aurora MySQL (estimated) @ $0.0340/hr"),
    # A PostgreSQL row is preferred for that edition; MySQL keeps the class row.
    ({"instance_class": "db.r7g.large", "engine": "aurora-postgresql"},
     [("aws", "aws_rds_cluster_instance", "db.r7g.large", {"price_per_hour": 0.276}),
      ("aws", "aws_rds_cluster_instance", "aurora-postgresql/db.r7g.large", {"price_per_hour": 0.3})],
     "db.r7g.large Aurora PostgreSQL @ $0.3000/hr"),
    ({"instance_class": "db.r7g.large", "engine": "aurora-mysql"},
     [("aws", "aws_rds_cluster_instance", "db.r7g.large", {"price_per_hour": 0.276}),
      ("aws", "aws_rds_cluster_instance", "aurora-postgresql/db.r7g.large", {"price_per_hour": 0.3})],
     "db.r7g.large Aurora MySQL @ $0.2760/hr"),
])
def test_lookup_order(estimate, props, rows, basis):
    assert estimate("aws", "aws_rds_cluster_instance", props, rows)["basis"] == basis


def test_pulumi_cluster_instance_reaches_the_family(shipped, tmp_path):
    export = {"version": 3, "deployment": {"resources": [
        {"type": "aws:rds/clusterInstance:ClusterInstance", "name": "writer",
         "inputs": {"instanceClass": "db.r6g.large", "engine": "aurora-postgresql"}}]}}
    path = tmp_path / "stack.json"
    path.write_text(json.dumps(export))
    [record] = StackReader.parse_json_file(str(path))
    assert record["type"] == "aws_rds_cluster_instance"
    assert shipped(record["properties"])["monthly_cost"] == pytest.approx(156.95)


def test_cloudformation_aurora_instance_stays_a_db_instance():
    template = {"Resources": {"Writer": {"Type": "AWS::RDS::DBInstance", "Properties": {
        "DBInstanceClass": "db.r6g.large", "Engine": "aurora-postgresql", "DBClusterIdentifier": "c"}}}}
    [record] = StackReader.parse_cloudformation_data(template)
    assert record["type"] == "aws_db_instance"
    assert record["properties"]["instance_class"] == "db.r6g.large"
