"""Utilities and chat alerts."""

from typing import Any, Dict

def add_extra_properties_to_schema(
    schema: Dict[str, Any], appsettings_path: str
) -> Dict[str, Any]: ...
