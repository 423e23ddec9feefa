__all__ = ["run"]

def run(command: str, payload_json: str) -> str:
    """Run one command ("syntax-check", "outline", "analyse", "hash", "scan", "register-grammar",
    "languages") on a JSON payload.

    Returns the command's compact JSON result; raises RuntimeError with the
    command's error text on failure.
    """
