"""tally-warden: a cloud-cost linter for infrastructure-as-code."""
