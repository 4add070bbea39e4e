"""tally-warden: a cloud-cost linter for infrastructure-as-code."""
from tally_warden._cli import main

if __name__ == "__main__":
    main()
