"""Console entry of the hook: Ctrl-C while the modules load ends as it does later on."""
import sys


def main():
    try:
        from tally_warden.hookgate import main as hook_main
    except KeyboardInterrupt:
        print("[Tally-Warden] Interrupted; commit aborted.", flush=True)
        sys.exit(130)
    hook_main()
