"""The providers' price-list formats and their mapping to price-table rows: the package's
tally_warden.price_formats, loaded from the source tree so that the generator and
tally-warden-prices read provider rows through one mapping table."""
import importlib.util
import sys
from pathlib import Path

_path = Path(__file__).resolve().parents[1] / "src" / "tally_warden" / "price_formats.py"
_spec = importlib.util.spec_from_file_location("tally_warden_price_formats", _path)
_module = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_module)
sys.modules[__name__] = _module
